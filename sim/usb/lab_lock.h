// The one lock of the USB lab: umockdev calls the device handlers on its worker
// thread while the main loop pumps module answers and serves control requests.
#pragma once
#include <mutex>

namespace vmusbsim {
std::recursive_mutex& lab_lock();
}
