// Shared fixture of the object-layer tests: simulated modules on loopback TCP
// and modules of ours connected to them over direct links.
#pragma once
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lib/object/Module.h"
#include "tests/e2e/support/netlab.h"

namespace objtest {

using Corvane::Velmarine::aEtherConfig;
using Corvane::Velmarine::Module;

inline linkSpec tcpSpec(uint32_t serial, uint16_t port)
{
    linkSpec s{};
    s.type = TCPIP;
    s.serialNumber = serial;
    in_addr a{};
    inet_pton(AF_INET, "127.0.0.1", &a);
    s.ipAddress = a.s_addr;
    s.ipPort = port;
    return s;
}

inline aEtherConfig directOnly()
{
    aEtherConfig c;
    c.enabled = false;
    c.fallback = false;
    return c;
}

// A module object connected to the simulated module with that serial number.
inline std::unique_ptr<Module> connectTo(netlab::SimProcess& sim, uint32_t serial, uint8_t address = 2,
                                         bool networking = true, aErr* result = nullptr)
{
    auto m = std::make_unique<Module>(address, networking, static_cast<uint8_t>(0));
    EXPECT_EQ(m->setConfig(directOnly()), aErrNone);
    auto port = sim.tcp_port(serial);
    EXPECT_TRUE(port.has_value());
    aErr err = m->connectFromSpec(tcpSpec(serial, port.value_or(0)));
    if (result)
        *result = err;
    else
        EXPECT_EQ(err, aErrNone);
    return m;
}

} // namespace objtest
