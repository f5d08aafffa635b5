#include "common/KspBytes.h"

DWORD BitsToBytes(DWORD dwBits)
{
    return dwBits / 8 + ((dwBits % 8) != 0 ? 1 : 0);
}

void ReverseByteOrder(BYTE *pbBuffer, DWORD cbBuffer)
{
    if (cbBuffer < 2) {
        return;
    }
    DWORD iLow = 0;
    DWORD iHigh = cbBuffer - 1;
    while (iLow < iHigh) {
        const BYTE bLow = pbBuffer[iLow];
        pbBuffer[iLow] = pbBuffer[iHigh];
        pbBuffer[iHigh] = bLow;
        ++iLow;
        --iHigh;
    }
}
