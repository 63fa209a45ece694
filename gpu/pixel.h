// SPDX-License-Identifier: MIT
// The readback test every probe makes: a buffer this size cleared to
// magenta, and the bounds its centre pixel must meet.
#pragma once

// Small enough for any driver; the centre pixel avoids edge effects.
static const int buffer_size = 64;

// Magenta survives a 4-bit-per-channel buffer: these bounds allow for the
// precision lost on the way there and back.
inline bool pixel_accepted(const unsigned char pixel[4])
{
    return pixel[0] > 0xDF && pixel[1] <= 0x1F && pixel[2] > 0xDF;
}
