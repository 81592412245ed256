// SPDX-License-Identifier: Apache-2.0
// The input and output work that any render of these files a period at a time must do, and
// nothing else: reads every file in blocks of BYTES, in turn, as the loader reads one period of
// each playing sound, and writes an output as long as the longest input in blocks of BYTES. No
// mixing, no tasks, one thread. bench/run times it beside kxplay and sox to show how much of a
// render's processor time the host's read and write calls take by themselves.
//
// Usage: bench_iofloor BYTES OUTPUT INPUT...; prints "name value" lines; exits 2 on an I/O error.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_iofloor BYTES OUTPUT INPUT...\n");
        return 2;
    }
    const size_t bytes = std::strtoul(argv[1], nullptr, 10);
    if (bytes == 0)
        return 2;
    std::vector<int> inputs;
    for (int i = 3; i < argc; ++i) {
        int fd = ::open(argv[i], O_RDONLY);
        if (fd < 0) {
            std::perror(argv[i]);
            return 2;
        }
        inputs.push_back(fd);
    }
    int out = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) {
        std::perror(argv[2]);
        return 2;
    }
    std::vector<uint8_t> block(bytes);
    uint64_t read = 0, written = 0, calls = 0;
    for (bool any = true; any;) {
        any = false;
        for (int fd : inputs) {
            ssize_t n = ::read(fd, block.data(), bytes);
            ++calls;
            if (n < 0)
                return 2;
            read += static_cast<uint64_t>(n);
            any = any || n > 0;
        }
        if (any) {
            if (::write(out, block.data(), bytes) != static_cast<ssize_t>(bytes))
                return 2;
            written += bytes;
        }
    }
    for (int fd : inputs)
        ::close(fd);
    ::close(out);
    std::printf("bytes_read %llu\nbytes_written %llu\nread_calls %llu\n",
                static_cast<unsigned long long>(read), static_cast<unsigned long long>(written),
                static_cast<unsigned long long>(calls));
    return 0;
}
