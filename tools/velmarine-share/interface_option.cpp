#include "tools/velmarine-share/interface_option.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cctype>
#include <cstring>

namespace sharing_tools {

std::optional<uint32_t> interfaceAddress(const std::string& text)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) == 1) return parsed.s_addr;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::optional<uint32_t> found;
    for (ifaddrs* it = list; it && !found; it = it->ifa_next)
        if (it->ifa_addr && it->ifa_addr->sa_family == AF_INET && text == it->ifa_name)
            found = reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr;
    freeifaddrs(list);
    return found;
}

std::string dotted(uint32_t address)
{
    char text[INET_ADDRSTRLEN] = {};
    in_addr in{};
    in.s_addr = address;
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

std::optional<uint32_t> serialNumber(const std::string& text)
{
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits.erase(0, 2);
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    uint32_t value = 0;
    for (char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                                       ? c - '0'
                                                       : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10);
    }
    return value;
}

} // namespace sharing_tools
