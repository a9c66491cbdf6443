#include "lib/common/aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Feature {
    const char* name;
    const char* description;
};

constexpr Feature FEATS[] = {
    {"VERSION", "Version Query API"},
};
constexpr size_t NUM_FEATS = sizeof FEATS / sizeof FEATS[0];

constexpr uint32_t kCurrentTag = 0x2F000000u;

} // namespace

uint8_t aVersion_GetMajor(void) { return aVERSION_MAJOR; }
uint8_t aVersion_GetMinor(void) { return aVERSION_MINOR; }
uint32_t aVersion_GetPatch(void) { return aVERSION_PATCH; }

const char* aVersion_GetString(void)
{
    // Initialised once, safely even when several threads ask at the same time.
    static const struct Text {
        char s[15];
        Text()
        {
            snprintf(s, sizeof s, "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PHASE,
                     aVERSION_PATCH);
        }
    } text;
    return text.s;
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch)
{
    if (major > 2 || (major == 2 && minor > 14))
        return kCurrentTag | (uint32_t{major} << 16) | (uint32_t{minor} << 8) | patch;
    return (uint32_t{major} << 28) | (uint32_t{minor & 0x0Fu} << 24) | patch;
}

bool aVersion_IsLegacyFormat(uint32_t packed)
{
    uint32_t top = packed >> 28;
    uint32_t next = (packed >> 24) & 0x0Fu;
    return top < 2 || (top == 2 && next < 15);
}

uint8_t aVersion_ParseMajor(uint32_t packed)
{
    return aVersion_IsLegacyFormat(packed) ? static_cast<uint8_t>(packed >> 28)
                                           : static_cast<uint8_t>(packed >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t packed)
{
    return aVersion_IsLegacyFormat(packed) ? static_cast<uint8_t>((packed >> 24) & 0x0Fu)
                                           : static_cast<uint8_t>(packed >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t packed)
{
    return aVersion_IsLegacyFormat(packed) ? (packed & 0x00FFFFFFu) : (packed & 0xFFu);
}

int aVersion_ParseString(uint32_t packed, char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return 0;
    return snprintf(buffer, size, "%d.%d.%u", aVersion_ParseMajor(packed),
                    aVersion_ParseMinor(packed), static_cast<unsigned>(aVersion_ParsePatch(packed)));
}

bool aVersion_IsAtLeastCompare(uint8_t refMajor, uint8_t refMinor, uint8_t refPatch,
                               uint8_t major, uint8_t minor, uint8_t patch)
{
    if (refMajor != major)
        return refMajor > major;
    if (refMinor != minor)
        return refMinor > minor;
    return refPatch >= patch;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch)
{
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                     patch);
}

bool aVersion_HasFeature(const char* name)
{
    if (!name)
        return false;
    for (const Feature& f : FEATS)
        if (!strcmp(f.name, name))
            return true;
    return false;
}

char* aVersion_GetFeatureList(void)
{
    std::string list;
    for (size_t i = 0; i < NUM_FEATS; ++i) {
        if (i)
            list += "\n";
        list += FEATS[i].name;
        list += " - ";
        list += FEATS[i].description;
    }
    char* out = static_cast<char*>(malloc(list.size() + 1));
    if (out)
        memcpy(out, list.c_str(), list.size() + 1);
    return out;
}

void aVersion_DestroyFeatureList(char** pList)
{
    if (!pList)
        return;
    free(*pList);
    *pList = nullptr;
}
