// The control's identifiers, chosen once and used alike by its type
// library, its registration and its own code. Constants of each
// translation unit, like the platform's interface identifiers, so that no
// header puts a process-unique symbol into the loadable module.
#pragma once

#include "platform/oleidl.h"

namespace tarvenholm {

constexpr GUID LIBID_Tarvenholm{0xA715CA4E, 0x769F, 0x47A4, {0xA5, 0x1D, 0x85, 0x20, 0x74, 0x8B, 0x0C, 0x56}};
constexpr IID IID_ITarvenholmX{0x1F7A9CE2, 0x33A1, 0x417F, {0xA0, 0xDF, 0xD0, 0xDD, 0x84, 0xD2, 0xE5, 0x64}};
// The second version of the dual interface: ITarvenholmX and the modern
// request members. ITarvenholmX keeps its identifier and function table.
constexpr IID IID_ITarvenholmX2{0x6D3B2A91, 0x5C0E, 0x4B7A, {0x9E, 0x41, 0x27, 0xC8, 0x0B, 0x5F, 0xD3, 0x1A}};
constexpr IID DIID_ITarvenholmEvents{0x1B06816E, 0xBF24, 0x42A7, {0xA1, 0xF4, 0xA1, 0x2E, 0xA7, 0xAE, 0x5C, 0xA4}};
constexpr CLSID CLSID_keyGenerator{0x5C5DD565, 0xF13F, 0x4F04, {0xA8, 0x85, 0x5A, 0x1F, 0x21, 0x2A, 0xE4, 0x51}};

// The program identifier by which hosts create the control, and the source
// named in the error information of its automation errors.
constexpr char kProgId[] = "Tarvenholm.keyGenerator";
constexpr char16_t kProgIdWide[] = u"Tarvenholm.keyGenerator";

// Miscellaneous status of the control: set client site first, activate when
// visible, inside-out, no links inside, recompose on resize.
constexpr DWORD kMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT |
                               OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
static_assert(kMiscStatus == 131473);

}  // namespace tarvenholm
