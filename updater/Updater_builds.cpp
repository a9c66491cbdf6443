// Builds: the server's list, the stored list, the feature token, downloads into the
// local store and loading a BIRD file for a transfer.
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "app/Log.h"
#include "updater/BirdFile.h"
#include "updater/Updater.h"
#include "updater/UpdateServerRequest.h"
#include "updater/UpdaterStore.h"
#include "updater/base64.h"

namespace {

using Display = UpdaterDisplayInterface;

const char* url_of(const std::string& url) { return url.empty() ? nullptr : url.c_str(); }

// The whole text must be a decimal number that fits 32 bits.
bool parse_build(const std::string& text, uint32_t& build) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value > 0xFFFFFFFFull) return false;
    build = static_cast<uint32_t>(value);
    return true;
}

// Decimal reading of the leading digits; false when there are none.
bool leading_number(const std::string& text, uint32_t& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

std::string now_text() {
    time_t now = time(nullptr);
    char buffer[32] = {0};
    ctime_r(&now, buffer);
    std::string text = buffer;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

bool _valid_build(uint32_t serialNumber, uint32_t build, const std::string& serverUrl) {
    BuildList builds;
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, url_of(serverUrl))) return false;
    for (const auto& [key, version] : builds) {
        uint32_t number = 0;
        if (!leading_number(key, number)) {
            Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", key.c_str());
            number = 0;
        }
        if (number == build) return true;
    }
    return false;
}

}  // namespace

BuildList Updater::Get_BuildList(uint32_t serialNumber) {
    BuildList builds;
    if (!UpdateServerRequest::ping(url_of(serverUrl))) {
        display.message(Display::LEVEL_ERROR, "Server request failed for %s", serverUrl.c_str());
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, url_of(serverUrl)))
        display.message(Display::LEVEL_ERROR, "Failed to retrieve builds for %08X", serialNumber);
    return builds;
}

std::string Updater::Get_JWT(uint32_t serialNumber) {
    std::string token;
    if (!UpdateServerRequest::ping(url_of(serverUrl))) {
        display.message(Display::LEVEL_ERROR, "Server request failed for %s", serverUrl.c_str());
        return token;
    }
    if (!UpdateServerRequest::GetDeviceJWT(serialNumber, token, url_of(serverUrl))) {
        display.message(Display::LEVEL_ERROR, "Failed to retrieve jwt for %08X", serialNumber);
        token.clear();
    }
    return token;
}

BuildList Updater::Get_BuildListLocal(uint32_t serialNumber) {
    BuildList builds;
    auto store = _createUpdaterStore(display, storageDirectory, "Get_BuildListLocal");
    if (!store) return builds;
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serialNumber, items);
    for (const UpdaterStoreItem& item : items) {
        std::string key = item.name.substr(0, item.name.find(".bird"));
        std::string version;
        const std::string path = item.parent + "/" + item.name;
        if (BirdFile::VerifyFile(path)) {
            // A file with a sound header can still be damaged further in; it is listed
            // without a version rather than ending the listing.
            try {
                BirdFile bird(path);
                version = bird.GetVersion();
                if (!version.empty())
                    Log::log(Log::DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
            } catch (const std::runtime_error&) {
                version.clear();
            }
        } else {
            Log::log(Log::DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
        }
        builds.emplace(key, version);
    }
    return builds;
}

uint32_t Updater::Download_Firmware(uint32_t serialNumber, const std::string& buildText, bool override,
                                    bool noCal) {
    uint32_t build = 0;
    if (!buildText.empty() && !parse_build(buildText, build)) {
        display.message(Display::LEVEL_ERROR, "Build number '%s' must be an number", buildText.c_str());
        return 0;
    }
    if (serialNumber == 0) {
        display.message(Display::LEVEL_ERROR, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(url_of(serverUrl))) {
        display.message(Display::LEVEL_ERROR, "Server request failed for %s", serverUrl.c_str());
        return 0;
    }
    auto store = _createUpdaterStore(display, storageDirectory, "Download_Firmware");
    if (!store) return 0;

    UpdaterStoreItem device;
    if (!store->FindDevice(serialNumber, device)) {
        Log::log(Log::DEBUG_APP, "Could not find device in our update history.\n");
        try {
            device = store->AddDevice(serialNumber);
        } catch (const std::runtime_error&) {
            display.message(Display::LEVEL_ERROR, "Could not create directory for storing BIRD file");
            return 0;
        }
    }

    std::string latest, firmware;
    if (!UpdateServerRequest::QueryBuild(serialNumber, latest, firmware, url_of(serverUrl))) {
        display.message(Display::LEVEL_ERROR, "No build information for device");
        return 0;
    }
    if (build == 0 && !leading_number(latest, build)) {
        Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
        build = 0;
    }

    display.message(Display::LEVEL_INFO, "Retrieving build %u", build);
    if (override) {
        display.message(Display::LEVEL_INFO, "Override specified, skipping validation of build %u", build);
    } else {
        display.message(Display::LEVEL_INFO, "Validating build %u with server", build);
        if (!_valid_build(serialNumber, build, serverUrl)) {
            display.message(Display::LEVEL_ERROR, "No valid build %u", build);
            return 0;
        }
        display.message(Display::LEVEL_INFO, "Build %u is valid", build);
    }

    // The request runs on a worker while this thread keeps the spinner turning; the
    // output is read only after the worker has been joined.
    const std::string requested = std::to_string(build);
    std::string bird;
    std::promise<bool> promise;
    std::future<bool> result = promise.get_future();
    std::thread worker([this, serialNumber, firmware, requested, &bird, noCal, &promise] {
        promise.set_value(
            UpdateServerRequest::GetBuild(serialNumber, firmware, requested, bird, url_of(serverUrl), noCal));
    });
    display.update_spinner(true, "Downloading");
    while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    const bool received = result.get();
    worker.join();
    if (!received) display.message(Display::LEVEL_ERROR, "Download failed");

    if (!received || bird.empty()) {
        display.message(Display::LEVEL_ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    // Text that is not Base64 would otherwise be stored as a file nobody sent; it is
    // reported like an empty answer and nothing is written.
    size_t length = 0;
    std::unique_ptr<unsigned char, FreeDeleter> bytes(base64_decode(bird.data(), bird.size(), &length));
    if (!bytes) {
        display.message(Display::LEVEL_ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }
    bird.clear();
    bird.shrink_to_fit();

    const std::string fileName = requested + ".bird";
    const std::string when = now_text();
    aErr written = device.WriteFile(fileName, bytes.get(), length);
    bytes.reset();
    if (written != aErrNone) {
        display.message(Display::LEVEL_ERROR, "Failed to write file with %d", static_cast<int>(written));
        return 0;
    }
    device.attributes.Add("LATEST_DOWNLOAD", fileName);
    device.attributes.Add("LAST_DOWNLOAD_DATE", when);
    device.attributes.Save();
    return build;
}

uint32_t Updater::Download_Firmware(const Fingerprint& fingerprint, const std::string& buildText, bool override) {
    uint32_t build = 0;
    if (!parse_build(buildText, build)) {
        Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
        build = 0;
    }
    uint32_t serialNumber = 0, assigned = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint, serialNumber, assigned, url_of(serverUrl))) {
        display.message(Display::LEVEL_ERROR, "Failed to retrieve recovery information from Corvane update server");
        return 0;
    }
    if (build == 0) build = assigned;
    return Download_Firmware(serialNumber, std::to_string(build), override, false);
}

BirdFile Updater::load_bird(const std::string& label, const std::string& birdFile, uint32_t serialNumber,
                            uint32_t build, bool downloadIfMissing) {
    auto store = _createUpdaterStore(display, storageDirectory, "load_bird");
    if (!store) return BirdFile();
    if (!birdFile.empty()) {
        display.message(Display::LEVEL_INFO, "%s from Birdfile: %s", label.c_str(), birdFile.c_str());
        return BirdFile(birdFile);
    }
    UpdaterStoreItem device = store->AddDevice(serialNumber);
    display.message(Display::LEVEL_INFO, "%s firmware with build: %u", label.c_str(), build);
    const std::string fileName = std::to_string(build) + ".bird";
    try {
        return device.ReadBirdFile(fileName);
    } catch (const std::runtime_error&) {
        if (!downloadIfMissing) throw std::runtime_error("Error reading birdfile");
    }
    display.message(Display::LEVEL_INFO, "Downloading firmware build %u", build);
    Download_Firmware(serialNumber, std::to_string(build), false, false);
    return device.ReadBirdFile(fileName);
}
