// The property handlers the wave filter's automation tables name: the filter's component identity,
// and the forwarder of the feature-unit nodes' volume and mute requests to the adapter, which owns
// the node table and the USB audio-class layer.
//
// IRQL: PASSIVE_LEVEL (the port calls property handlers from the request's dispatch; node
// requests become USB control transfers).
#pragma once

#include "platform/kernel.h"

NTSTATUS NTAPI WaveFilterComponentIdHandler(PPCPROPERTY_REQUEST request);
NTSTATUS NTAPI WaveNodePropertyForwarder(PPCPROPERTY_REQUEST request);
