# SPDX-License-Identifier: Apache-2.0
# The public headers: what a host that embeds the module includes (examples/embed.cpp includes
# each of them), installed under include/kxaudio/ at their paths in the tree. Nothing else is
# installed; a header private to its folder never is. Paths relative to the source root.
set(KX_PUBLIC_HEADERS
    kxaudio/kxaudio.h
    platform/devices/hda.h
    platform/devices/sndhost.h
    platform/files/kxfs_host.h)
