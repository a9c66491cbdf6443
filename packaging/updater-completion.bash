# bash completion for Updater
_updater() {
    local cur prev
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    case "$prev" in
        -t) COMPREPLY=($(compgen -W "USB TCPIP RECOVER" -- "$cur")); return ;;
        -f|-k) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        -i) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        -m) COMPREPLY=($(compgen -W "1 0" -- "$cur")); return ;;
        -s) COMPREPLY=($(compgen -W "USB $(ls /dev/ttyUSB* /dev/ttyACM* 2>/dev/null)" -- "$cur")); return ;;
        -o) COMPREPLY=($(compgen -W "2400 4800 9600 19200 38400 57600 115200 230400" -- "$cur")); return ;;
    esac
    COMPREPLY=($(compgen -W "-B -L -D -G -I -U -N -C -J -OVERRIDE -h -H --help -n -X -Z -m -i -b -d -t -f -r -s -o -e -l -k -u" -- "$cur"))
}
complete -F _updater Updater
