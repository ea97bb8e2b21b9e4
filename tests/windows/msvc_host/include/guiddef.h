// The platform's GUID, as the Windows SDK declares it: unsigned long is 32
// bits on Windows (LLP64), so Data1 is 32 bits in both architectures.
#pragma once
typedef struct _GUID {
  unsigned long Data1;
  unsigned short Data2;
  unsigned short Data3;
  unsigned char Data4[8];
} GUID;
