// The kernel-streaming GUIDs behind the filter's pins and nodes: the node type (pin category) of
// each USB Audio terminal type, and the published names of the node types the driver reports, for
// its diagnostic dump and for tools.
#pragma once

#include "platform/kernel.h"

namespace usbaudio {

// The terminal type of a USB streaming terminal: the pins the audio stack streams through.
constexpr USHORT kUsbStreamingTerminal = 0x0101;

// The node type of a terminal type of the published input, output, bi-directional, telephony,
// external and embedded groups; null for any other type.
const GUID* TerminalTypeCategory(USHORT terminalType);

// "KSNODETYPE_SPEAKER" and the like for every node type above and the unit and converter nodes the
// filter uses; "KSCATEGORY_AUDIO" for the streaming pins' category; "Unknown" otherwise.
PCSTR KsNodeTypeName(const GUID* type);

}  // namespace usbaudio
