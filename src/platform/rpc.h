// UUIDs: random (version 4) from the kernel's random source.
#pragma once

#include "platform/wintypes.h"

struct UUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};

using RPC_STATUS = LONG;
#define RPC_S_OK 0
#define RPC_S_OUT_OF_MEMORY 14
#define RPC_S_UUID_NO_ADDRESS 1739

RPC_STATUS UuidCreate(UUID* uuid);
// Lower-case 36-character text form, freed with RpcStringFreeA.
RPC_STATUS UuidToStringA(const UUID* uuid, unsigned char** text);
RPC_STATUS RpcStringFreeA(unsigned char** text);
