#include "config/result_codes.h"

namespace {

#define NB_ROW(name, key, table) {name, #name, key, ResultTable::table}

constexpr ResultCodeInfo kCodes[] = {
    NB_ROW(NIMBO_E_FAIL, L"NIMBO_E_FAIL", kGeneral),
    NB_ROW(NIMBO_E_NOTIMPL, L"NIMBO_E_NOTIMPL", kGeneral),
    NB_ROW(NIMBO_E_OUTOFMEMORY, L"NIMBO_E_OUTOFMEMORY", kGeneral),
    NB_ROW(NIMBO_E_INVALIDARG, L"NIMBO_E_INVALIDARG", kGeneral),
    NB_ROW(NIMBO_E_POINTER, L"NIMBO_E_POINTER", kGeneral),
    NB_ROW(NIMBO_E_HANDLE, L"NIMBO_E_HANDLE", kGeneral),
    NB_ROW(NBEM_E_FAIL, L"NBEM_E_FAIL", kEffect),
    NB_ROW(NBEM_E_REINITED, L"NBEM_E_REINITED", kEffect),
    NB_ROW(NBEM_E_UNINITED, L"NBEM_E_UNINITED", kEffect),
    NB_ROW(NBEM_E_OUTOFMEM, L"NBEM_E_OUTOFMEM", kEffect),
    NB_ROW(NBEM_E_UNKNOWN_EFFECT, L"NBEM_E_UNKNOWN_EFFECT", kEffect),
    NB_ROW(NBEM_E_DLL_PATH, L"NBEM_E_DLL_PATH", kEffect),
    NB_ROW(NBEM_E_LOAD_DLL, L"NBEM_E_LOAD_DLL", kEffect),
    NB_ROW(NBEM_E_LOAD_LIBRARY, L"NBEM_E_LOAD_LIBRARY", kEffect),
    NB_ROW(NBEM_E_GET_EFFECT, L"NBEM_E_GET_EFFECT", kEffect),
    NB_ROW(NBEM_E_BAD_POINTER, L"NBEM_E_BAD_POINTER", kEffect),
    NB_ROW(NBEM_E_BAD_PARAMS, L"NBEM_E_BAD_PARAMS", kEffect),
    NB_ROW(NBEM_E_OPEN_DEVICE, L"NBEM_E_OPEN_DEVICE", kEffect),
    NB_ROW(NBEM_E_START_HOOK, L"NBEM_E_START_HOOK", kEffect),
    NB_ROW(NBEM_E_GUESS_SIZE, L"NBEM_E_GUESS_SIZE", kEffect),
    NB_ROW(PLAYER_E_FAIL, L"PLAYER_E_FAIL", kPlayer),
    NB_ROW(NB_E_REG_VALUE, nullptr, kNone),
    NB_ROW(NB_E_OPEN_USER_KEY, nullptr, kNone),
    NB_ROW(NB_E_CREATE_KEY, nullptr, kNone),
    NB_ROW(NB_SERVICE_EFFECT_OFF, L"NB_SERVICE_EFFECT_OFF", kEffect),
    NB_ROW(NB_SERVICE_DEEP_TONE_OFF, L"NB_SERVICE_DEEP_TONE_OFF", kEffect),
    NB_ROW(NB_PLAYER_E_CAPTURE, L"NB_PLAYER_E_CAPTURE", kPlayer),
    NB_ROW(NB_PLAYER_E_RECORD, L"NB_PLAYER_E_RECORD", kPlayer),
    NB_ROW(NB_PLAYER_E_SET_PROPERTY, nullptr, kNone),
    NB_ROW(NB_PLAYER_E_STOP, nullptr, kNone),
    NB_ROW(NB_MSG_SHORTAGE_OF_FREESPACE, L"NB_MSG_SHORTAGE_OF_FREESPACE", kPlayer),
    NB_ROW(NB_PLAYER_E_DUMPDEVICE, L"NB_PLAYER_E_DUMPDEVICE", kPlayer),
    NB_ROW(NB_PLAYER_E_PREVIEW, L"NB_PLAYER_E_PREVIEW", kPlayer),
};

#undef NB_ROW

}  // namespace

std::span<const ResultCodeInfo> AllResultCodes() { return kCodes; }

const ResultCodeInfo* FindResultCode(HRESULT code) {
  for (const ResultCodeInfo& info : kCodes)
    if (info.value == code) return &info;
  return nullptr;
}
