// SPDX-License-Identifier: Apache-2.0
// PCI configuration space through mechanism #1 (ports 0xCF8/0xCFC). Used at boot only.
#pragma once

#include <cstdint>

namespace kx::metal {

struct PciFunction {
    uint8_t bus, device, function;
};

uint32_t pciRead32(PciFunction f, uint8_t offset);
void pciWrite32(PciFunction f, uint8_t offset, uint32_t value);
// The first function of that class and subclass on buses 0..3; false if there is none.
bool pciFindClass(uint8_t classCode, uint8_t subclass, PciFunction* found);

}  // namespace kx::metal
