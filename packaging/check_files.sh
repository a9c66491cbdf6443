#!/bin/bash
# Checks the files the package installs besides the programs:
#   - every udev rule parses (udevadm verify when this udev has it, else the checker below),
#   - the man page renders without groff warnings and documents every option the parser knows,
#   - the bash completion loads and completes Updater's options.
# Usage: check_files.sh PACKAGING_DIR
set -u
dir=${1:?usage: check_files.sh PACKAGING_DIR}
fail=0
bad() { echo "FAIL: $*" >&2; fail=1; }

# --- udev rules -------------------------------------------------------------------------
rules=("$dir"/*.rules)
if command -v udevadm >/dev/null 2>&1 && udevadm verify --help >/dev/null 2>&1; then
    udevadm verify --no-style "${rules[@]}" || bad "udevadm verify"
else
    # One rule per line: comma-separated KEY[{attr}]OP"value" pairs. Match keys take == or !=,
    # assignment keys take =, +=, -= or :=. Every rule needs at least one match and one assignment.
    match_keys='ACTION|DEVPATH|KERNEL|KERNELS|NAME|SYMLINK|SUBSYSTEM|SUBSYSTEMS|DRIVER|DRIVERS|ATTR|ATTRS|SYSCTL|ENV|CONST|TAG|TAGS|TEST|PROGRAM|RESULT'
    assign_keys='NAME|SYMLINK|OWNER|GROUP|MODE|SECLABEL|ATTR|SYSCTL|ENV|TAG|RUN|LABEL|GOTO|IMPORT|OPTIONS'
    for f in "${rules[@]}"; do
        n=0
        while IFS= read -r line || [ -n "$line" ]; do
            n=$((n + 1))
            [[ "$line" =~ ^[[:space:]]*(#|$) ]] && continue
            rest=$line matches=0 assigns=0
            while [ -n "$rest" ]; do
                if [[ "$rest" =~ ^[[:space:]]*([A-Z_]+)(\{[A-Za-z0-9_./*-]+\})?[[:space:]]*(==|!=|\+=|-=|:=|=)[[:space:]]*\"([^\"]*)\"[[:space:]]*(,|$)(.*)$ ]]; then
                    key=${BASH_REMATCH[1]} attr=${BASH_REMATCH[2]} op=${BASH_REMATCH[3]}
                    sep=${BASH_REMATCH[5]} rest=${BASH_REMATCH[6]}
                    case $key in ATTR|ATTRS|ENV|SYSCTL|TEST|IMPORT|RUN) ;; *)
                        [ -z "$attr" ] || bad "$f:$n: $key takes no {attribute}" ;;
                    esac
                    case $key in ATTR|ATTRS|ENV|SYSCTL)
                        [ -n "$attr" ] || bad "$f:$n: $key needs an {attribute}" ;;
                    esac
                    if [ "$op" = "==" ] || [ "$op" = "!=" ]; then
                        [[ "$key" =~ ^($match_keys)$ ]] || bad "$f:$n: $key cannot be matched"
                        matches=$((matches + 1))
                    else
                        [[ "$key" =~ ^($assign_keys)$ ]] || bad "$f:$n: $key cannot be assigned"
                        assigns=$((assigns + 1))
                    fi
                    if [ "$sep" != "," ] && [ -n "${rest//[[:space:]]/}" ]; then
                        bad "$f:$n: missing comma before: $rest"; break
                    fi
                else
                    bad "$f:$n: cannot parse: $rest"; break
                fi
            done
            [ $matches -gt 0 ] && [ $assigns -gt 0 ] || bad "$f:$n: a rule needs a match and an assignment"
            [[ "$line" =~ MODE=\"([0-7]{3,4})\" ]] || [[ ! "$line" =~ MODE= ]] || bad "$f:$n: MODE is not octal"
        done <"$f"
    done
fi
grep -q 'idVendor}=="24ff"' "$dir"/*.rules || bad "no rule for vendor 0x24FF"
grep -q 'idVendor}=="1fc9".*idProduct}=="0130"' "$dir"/*.rules || bad "no rule for the i.MX boot ROM"

# --- man page ---------------------------------------------------------------------------
man=$dir/Updater.1
if command -v groff >/dev/null 2>&1; then
    out=$(groff -man -Tutf8 -ww -z "$man" 2>&1) || bad "groff failed"
    [ -z "$out" ] || bad "groff warnings: $out"
    text=$(groff -man -Tascii -P-c -P-b -P-u "$man" 2>/dev/null)
    for opt in -B -L -D -G -I -U -OVERRIDE -N -C -J -h -H --help -n -X -Z -m -i -b -d -t -f -r -s -o -e -l -k -u; do
        grep -qE -- "^ {7}([^ ].*, )?$opt([ ,]|$)" <<<"$text" || bad "man page does not document $opt"
    done
    grep -q "EXIT STATUS" <<<"$text" || bad "man page has no EXIT STATUS section"
else
    echo "groff not installed: man page rendering not checked" >&2
fi

# --- bash completion --------------------------------------------------------------------
comp=$dir/updater-completion.bash
words=$(bash -c '
    source "$1"
    complete -p Updater >/dev/null || exit 1
    COMP_WORDS=(Updater -t T); COMP_CWORD=2; _updater; echo "${COMPREPLY[*]}"
    COMP_WORDS=(Updater -OV); COMP_CWORD=1; _updater; echo "${COMPREPLY[*]}"
' _ "$comp") || bad "completion does not register for Updater"
grep -qx "TCPIP" <<<"$(head -1 <<<"$words")" || bad "completion of -t T gave: $(head -1 <<<"$words")"
grep -qx -- "-OVERRIDE" <<<"$(sed -n 2p <<<"$words")" || bad "completion of -OV gave: $(sed -n 2p <<<"$words")"

[ $fail -eq 0 ] && echo "packaging files OK"
exit $fail
