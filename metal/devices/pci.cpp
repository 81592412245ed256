// SPDX-License-Identifier: Apache-2.0
// PCI configuration access. Boot-time only, before interrupts are on: no lock.
#include "metal/devices/pci.h"

#include "metal/boot/cpu.h"

namespace kx::metal {
namespace {

uint32_t address(PciFunction f, uint8_t offset) {
    return 0x80000000u | static_cast<uint32_t>(f.bus) << 16 |
           static_cast<uint32_t>(f.device) << 11 | static_cast<uint32_t>(f.function) << 8 |
           (offset & 0xFCu);
}

}  // namespace

uint32_t pciRead32(PciFunction f, uint8_t offset) {
    outl(0xCF8, address(f, offset));
    return inl(0xCFC);
}

void pciWrite32(PciFunction f, uint8_t offset, uint32_t value) {
    outl(0xCF8, address(f, offset));
    outl(0xCFC, value);
}

bool pciFindClass(uint8_t classCode, uint8_t subclass, PciFunction* found) {
    for (uint8_t bus = 0; bus < 4; ++bus) {
        for (uint8_t device = 0; device < 32; ++device) {
            for (uint8_t function = 0; function < 8; ++function) {
                PciFunction f{bus, device, function};
                uint32_t id = pciRead32(f, 0);
                if ((id & 0xFFFF) == 0xFFFF) {
                    if (function == 0)
                        break;
                    continue;
                }
                uint32_t cls = pciRead32(f, 8);
                if ((cls >> 24) == classCode && ((cls >> 16) & 0xFF) == subclass) {
                    *found = f;
                    return true;
                }
            }
        }
    }
    return false;
}

}  // namespace kx::metal
