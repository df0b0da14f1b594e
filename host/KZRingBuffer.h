// KZ_RTMB_*: byte ring buffers between a producer and a consumer on different threads (the
// transmit audio of a call, the audio kept for voice detection and recording). The capacity is
// fixed at creation; nothing is allocated afterwards.
#pragma once

#include <cstdint>

namespace KZAPI {

struct KZRingBuffer;
using KZ_RTMB_HANDLE = KZRingBuffer*;

KZ_RTMB_HANDLE KZ_RTMB_Create(int capacity);
void KZ_RTMB_Destroy(KZ_RTMB_HANDLE handle);
// Appends up to length bytes; what does not fit is dropped. Returns the bytes kept.
int KZ_RTMB_PutData(KZ_RTMB_HANDLE handle, const void* data, int length);
// Takes up to length bytes, oldest first. Returns the bytes taken.
int KZ_RTMB_GetData(KZ_RTMB_HANDLE handle, void* out, int length);
int KZ_RTMB_GetDataSize(KZ_RTMB_HANDLE handle);
int KZ_RTMB_GetCapacity(KZ_RTMB_HANDLE handle);
void KZ_RTMB_Reset(KZ_RTMB_HANDLE handle);

} // namespace KZAPI
