// Device manager and device registry: how the module finds and talks to a driver.
// The registry is a list of device entries, each with a "Driver" value; the device manager
// opens a registered device and routes control calls to its driver. The registry and the
// handle table are guarded by one mutex each; driver calls run outside them.
#pragma once

#include <cstdint>

namespace kx {

// ---- Registry ----
using KXRegCallback = uint8_t (*)(uint32_t entryKey, uint32_t device);

inline constexpr const char* IOREG_KEY_DEV_ROOT = "Devices";   // the key whose entries are devices
inline constexpr const char* IOREG_KEY_DEV_DRIVER = "Driver";  // value naming an entry's driver

constexpr int32_t KXREG_ERR_NOT_FOUND = 0x0201;  // no such key, entry or value
constexpr int32_t KXREG_ERR_SIZE = 0x0202;       // the value does not fit the caller's buffer
constexpr int32_t KXREG_ERR_FAULT = 0x0203;      // injected by a test

// Calls callback(entryKey, device) for each entry under key, in registry order, until a call
// returns 0 (iteration then stops) or the entries run out. hive 1 is the system hive; reserved
// arguments are ignored. Returns 0 when a callback returned 0, KXREG_ERR_NOT_FOUND otherwise.
int32_t KXRegIterateKey(uint32_t hive, const char* key, uint32_t reserved0, uint32_t reserved1,
                        KXRegCallback callback, uint32_t reserved2);
// Copies the zero-terminated text value `name` of an entry into buffer (capacity *length bytes)
// and sets *length to the bytes written including the terminator. A value that does not fit
// gives KXREG_ERR_SIZE and writes nothing; an unknown entry or value gives KXREG_ERR_NOT_FOUND.
int32_t KXRegQueryValue(uint32_t entryKey, const char* name, uint32_t reserved, char* buffer,
                        uint32_t* length);

// Host side: the default registry holds four devices ("DdPciBus", "DdAta", "DdHdAudio",
// "DdUart"). Tests may clear it and add their own entries. Returns the new entry's device id.
void kxRegReset();                                // back to the default registry
void kxRegClear();                                // no entries at all
uint32_t kxRegAddDevice(const char* driverName);  // driverName null: an entry with no value
// The device manager's look-up: copies the "Driver" value of the entry with this device id into
// buffer ("" for an entry without one). False when no entry has that id or the value does not
// fit; buffer is then untouched.
bool kxRegDeviceDriver(uint32_t device, char* buffer, uint32_t size);

// ---- Device manager ----
constexpr int32_t DM_ERR_NO_DEVICE = 0x0301;      // unknown device or handle
constexpr int32_t DM_ERR_NOT_SUPPORTED = 0x0302;  // the driver has no such control code
constexpr int32_t DM_ERR_FAULT = 0x0303;          // injected by a test

// Opens a registered device and writes a non-zero handle; on failure *handle is untouched.
int32_t DmDeviceOpen(uint32_t device, uint32_t flags, uint32_t* handle);
// Routes a control call to the driver of an open handle and returns its result.
int32_t DmDeviceIoControl(uint32_t handle, uint32_t code, void* block, uint32_t a0, uint32_t a1,
                          uint32_t a2, uint32_t a3);
int32_t DmDeviceClose(uint32_t handle);
// Number of handles open now (tests check that shutdown closed them).
int DmOpenHandles();

// ---- The HD-audio driver's control protocol ----
constexpr uint32_t IOCTL_STREAM_OPEN = 0x2601;
constexpr uint32_t IOCTL_STREAM_CLOSE = 0x2602;
constexpr uint32_t IOCTL_STREAM_WRITE = 0x2603;
constexpr uint32_t IOCTL_VOLUME = 0x2632;
constexpr uint32_t IOCTL_MUTE = 0x2633;

// Failures the HD-audio driver reports (besides DM_ERR_NOT_SUPPORTED for an unknown code and
// DM_ERR_FAULT for an injected failure).
constexpr int32_t HDA_ERR_PARAM = 0x0311;   // no control block
constexpr int32_t HDA_ERR_FORMAT = 0x0312;  // open: not 2 channels, 44100 Hz, 16 bits
constexpr int32_t HDA_ERR_STATE = 0x0313;   // write: the stream is not open
constexpr int32_t HDA_ERR_BUFFER = 0x0314;  // write: the descriptor names no period buffer
constexpr int32_t HDA_ERR_RANGE = 0x0315;   // volume above 100

// Byte offsets of the stream descriptor the driver reads and writes (little-endian).
constexpr uint32_t HDA_DESC_CHANNELS = 6;        // u16
constexpr uint32_t HDA_DESC_SAMPLE_RATE = 8;     // u32
constexpr uint32_t HDA_DESC_BITS = 18;           // u16
constexpr uint32_t HDA_DESC_NOTIFY_TASK = 24;    // u32
constexpr uint32_t HDA_DESC_NOTIFY_EVENT = 28;   // u16
constexpr uint32_t HDA_DESC_PARAMETER = 32;      // u32
constexpr uint32_t HDA_DESC_FRAMES = 36;         // u32, written by the driver at open
constexpr uint32_t HDA_DESC_PERIOD_BUFFER = 40;  // pointer-wide address of the period buffer

}  // namespace kx
