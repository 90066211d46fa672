// The program's result codes: 32-bit values 0x87MXXXXX (M: 0 general,
// 2 effect manager, 3 player, 4 application and camera session), 0 for
// success. One table gives each code its name and the language key of its
// message; codes without a key are never shown to the user.
#pragma once

#include <span>

#include "win32/types.h"

constexpr HRESULT NbCode(DWORD value) { return static_cast<HRESULT>(value); }

constexpr HRESULT NIMBO_E_FAIL = NbCode(0x87000000u);
constexpr HRESULT NIMBO_E_NOTIMPL = NbCode(0x87000001u);
constexpr HRESULT NIMBO_E_OUTOFMEMORY = NbCode(0x87000002u);
constexpr HRESULT NIMBO_E_INVALIDARG = NbCode(0x87000003u);
constexpr HRESULT NIMBO_E_POINTER = NbCode(0x87000004u);
constexpr HRESULT NIMBO_E_HANDLE = NbCode(0x87000005u);
constexpr HRESULT NBEM_E_FAIL = NbCode(0x87200001u);
constexpr HRESULT NBEM_E_REINITED = NbCode(0x87200002u);
constexpr HRESULT NBEM_E_UNINITED = NbCode(0x87200003u);
constexpr HRESULT NBEM_E_OUTOFMEM = NbCode(0x87200004u);
constexpr HRESULT NBEM_E_UNKNOWN_EFFECT = NbCode(0x87200005u);
constexpr HRESULT NBEM_E_DLL_PATH = NbCode(0x87200006u);
constexpr HRESULT NBEM_E_LOAD_DLL = NbCode(0x87200007u);
constexpr HRESULT NBEM_E_LOAD_LIBRARY = NbCode(0x87200008u);
constexpr HRESULT NBEM_E_GET_EFFECT = NbCode(0x87200009u);
constexpr HRESULT NBEM_E_BAD_POINTER = NbCode(0x8720000au);
constexpr HRESULT NBEM_E_BAD_PARAMS = NbCode(0x8720000bu);
constexpr HRESULT NBEM_E_OPEN_DEVICE = NbCode(0x8720000cu);
constexpr HRESULT NBEM_E_START_HOOK = NbCode(0x8720000du);
constexpr HRESULT NBEM_E_GUESS_SIZE = NbCode(0x8720000eu);
constexpr HRESULT PLAYER_E_FAIL = NbCode(0x87300001u);
constexpr HRESULT NB_E_REG_VALUE = NbCode(0x87400071u);
constexpr HRESULT NB_E_OPEN_USER_KEY = NbCode(0x87400073u);
constexpr HRESULT NB_E_CREATE_KEY = NbCode(0x87400074u);
constexpr HRESULT NB_SERVICE_EFFECT_OFF = NbCode(0x87400077u);
constexpr HRESULT NB_SERVICE_DEEP_TONE_OFF = NbCode(0x87400078u);
constexpr HRESULT NB_PLAYER_E_CAPTURE = NbCode(0x8740007cu);
constexpr HRESULT NB_PLAYER_E_RECORD = NbCode(0x8740007du);
constexpr HRESULT NB_PLAYER_E_SET_PROPERTY = NbCode(0x8740007eu);
constexpr HRESULT NB_PLAYER_E_STOP = NbCode(0x8740007fu);
constexpr HRESULT NB_MSG_SHORTAGE_OF_FREESPACE = NbCode(0x87400081u);
constexpr HRESULT NB_PLAYER_E_DUMPDEVICE = NbCode(0x87400082u);
constexpr HRESULT NB_PLAYER_E_PREVIEW = NbCode(0x87400084u);

// Which of the three message tables knows a code (the user-message lookup
// searches them in this order).
enum class ResultTable { kGeneral, kEffect, kPlayer, kNone };

struct ResultCodeInfo {
  HRESULT value;
  const char* name;
  const wchar_t* messageKey;  // nullptr: never shown
  ResultTable table;
};

std::span<const ResultCodeInfo> AllResultCodes();

// The entry for `code`, or nullptr for a code the program does not define.
const ResultCodeInfo* FindResultCode(HRESULT code);
