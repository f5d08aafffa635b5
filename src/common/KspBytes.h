// Byte routines of the CAPI border.
#ifndef KSP_BYTES_H
#define KSP_BYTES_H

#include "common/KspPlatform.h"

// Whole bytes that hold dwBits bits, rounding up.
DWORD BitsToBytes(DWORD dwBits);

// Reverses the cbBuffer bytes of pbBuffer in place: CNG's big-endian byte
// strings against CryptoAPI's least-significant-byte-first buffers.
void ReverseByteOrder(BYTE *pbBuffer, DWORD cbBuffer);

#endif
