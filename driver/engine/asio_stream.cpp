// The ASIO data path's hooks into the stream engine. No ASIO stream can be opened yet (the private
// interface refuses it), so every hook finds none and leaves the engine's data alone.
#include "driver/engine/asio_stream.h"

void AsioStream::Initialize()
{
    m_FillByte = 0;
    m_LateMixing = 0;
    m_BuildTimeMixing = 0;
}

void AsioStream::OnRenderSubmitted(RequestContext*) {}

void AsioStream::OnRenderCompleted(RequestContext*) {}

void AsioStream::OnCaptureCompleted(const UCHAR*, ULONG, ULONG) {}

void AsioStream::OnCapturedBytes(const UCHAR*, ULONG) {}

void AsioStream::MixAtBuildTime(RequestContext*) {}

void AsioStream::ResetRings() {}

void AsioStream::RecomputeMargin() {}
