// The records the stream engine moves audio with: one request to the USB stack with its buffer,
// and the counters of the request chains that keep each endpoint busy.
#pragma once

#include "platform/kernel.h"

class StreamEngine;

// One render, capture or feedback request. Render contexts live in the render thread's pool for as
// long as the thread runs; capture and feedback contexts belong to one chain each. All come from
// the engine's lookaside list; buffers are non-paged ("USBA").
struct RequestContext {
    PUCHAR buffer;
    PMDL mdl;
    ULONG length;          // bytes to transfer
    ULONG scheduledFrame;  // render on a duplex device: the frame it was scheduled for
    ULONG startFrame;      // as the USB layer reported it
    ULONG completionFrame; // the bus frame when the completion arrived
    NTSTATUS status;
    ULONG actualLength;
    ULONG busFrames;       // 1-ms frames the transfer covered
    StreamEngine* engine;
    ULONG feedbackUsed;    // render: the feedback value its packets were sized from
    LIST_ENTRY links;      // idle pool or completion list
    LIST_ENTRY mixLinks;   // render: the submitted list of the ASIO output path
    PIO_WORKITEM workItem; // finishes an errored completion at PASSIVE_LEVEL
};

// The chains of one kind that are alive. A chain starts when its thread submits the first request
// and ends when a completion does not submit the next one; the thread waits for the zero event
// before it lets go of what the chains use.
// IRQL: Add and Retire at <= DISPATCH_LEVEL; WaitForZero at PASSIVE_LEVEL.
class ChainCounter {
public:
    void Initialize();
    void Add();
    void Retire();
    // STATUS_SUCCESS at zero, STATUS_TIMEOUT when chains are still alive after `timeout`
    // (null waits for ever).
    NTSTATUS WaitForZero(PLARGE_INTEGER timeout);
    LONG Count() const { return m_Count; }

private:
    KSPIN_LOCK m_Lock;
    LONG m_Count;
    KEVENT m_Zero;
};
