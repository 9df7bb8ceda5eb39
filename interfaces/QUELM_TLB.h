// The five sampler interfaces and two item records, as a host compiles against
// them. Needs nothing but this header and the platform runtime library.
//
// Records are read and written in arrays with the natural stride: on 64-bit
// targets sizeof(SAMPLERCAPABILITYINFO) == 24 and sizeof(SAMPLERDIAGNOTORINFO)
// == 24; on 32-bit targets 20 and 16.
// Channel handles are file descriptors passed as LONG: 0 means unbound, -1 is invalid.
#pragma once

#include "platform/Unknwn.h"

struct SAMPLERCAPABILITYINFO {
  BSTR Name;
  LONG Id;
  LONG Value;
  LONG Flags;
  LONG Group;
};

struct SAMPLERDIAGNOTORINFO {
  BSTR Name;
  BSTR Description;
  LONG Id;
  LONG Flags;
};

static_assert(sizeof(SAMPLERCAPABILITYINFO) == (sizeof(void*) == 8 ? 24 : 20), "hosts rely on the natural stride");
static_assert(sizeof(SAMPLERDIAGNOTORINFO) == (sizeof(void*) == 8 ? 24 : 16), "hosts rely on the natural stride");

// Item kinds (low byte of Flags) and classes.
constexpr LONG SIK_SWITCH = 1;
constexpr LONG SIK_CHOICE = 2;
constexpr LONG SIK_NUMBER = 3;
constexpr LONG SIK_TEXT = 4;
constexpr LONG SIF_PRIMARY = 0x100;
constexpr LONG SIF_SECONDARY = 0x200;

// Capability identifiers.
constexpr LONG SCAP_ACTUATE_PIN = 80;  // pin n is 80 + n, n = 0..7
constexpr LONG SCAP_START_IMMEDIATELY = 100;
constexpr LONG SCAP_START_ON_ACTIVITY = 101;
constexpr LONG SCAP_STOP_ON_IDLE = 110;
constexpr LONG SCAP_IDLE_PERIOD = 111;
constexpr LONG SCAP_STOP_ON_COUNT = 112;
constexpr LONG SCAP_SAMPLE_COUNT = 113;
constexpr LONG SCAP_STOP_ON_TIMER = 114;
constexpr LONG SCAP_SAMPLING_TIMER = 115;
constexpr LONG SCAP_CUSTOM_COMMAND = 200;
constexpr LONG SCAP_COMMAND = 201;

// Diagnotor identifiers.
constexpr LONG SDIAG_RS232_RECEIVER = 200;

// Sampler state codes (GetStatus).
constexpr LONG SST_INACTIVE = 0;
constexpr LONG SST_HARDWARE_ERROR = 1;
constexpr LONG SST_NO_HARDWARE = 2;
constexpr LONG SST_UNKNOWN_HARDWARE = 3;
constexpr LONG SST_OPEN = 256;
constexpr LONG SST_HARDWARE_DIAGNOSTIC = 257;
constexpr LONG SST_PORT_DIAGNOSTIC = 258;
constexpr LONG SST_NO_MODE = 259;
constexpr LONG SST_NO_RATE = 260;
constexpr LONG SST_NO_STOP_MODE = 261;
constexpr LONG SST_NO_IDLE_TIME = 262;
constexpr LONG SST_NO_SAMPLE_COUNT = 263;
constexpr LONG SST_NO_SAMPLE_TIME = 264;
constexpr LONG SST_READY = 512;
constexpr LONG SST_SENDING_COMMAND = 513;
constexpr LONG SST_STARTING = 768;
constexpr LONG SST_WAITING = 769;
constexpr LONG SST_SAMPLING = 1024;
constexpr LONG SST_COMPLETED = 1025;
constexpr LONG SST_STOPPING = 1280;
constexpr LONG SST_RUN_FAILED = 3840;
constexpr LONG SST_HARDWARE_STOPPED = 3841;
constexpr LONG SST_COMMAND_FAILED = 3842;

inline constexpr GUID LIBID_QUELM = {0x834A1CC8, 0x261E, 0x46E6, {0xBA, 0x7E, 0xE1, 0x42, 0xF4, 0x35, 0x6E, 0x82}};
inline constexpr IID IID_IKorvoSampler = {0xA7418679, 0x7E6B, 0x4E87, {0xAB, 0x13, 0x42, 0xE4, 0x07, 0xB9, 0xEC, 0x12}};
inline constexpr IID IID_ISamplerChannel = {0xF6139CF5, 0x4880, 0x42E7, {0x86, 0x08, 0x2B, 0xE5, 0xCE, 0x66, 0xB8, 0x1B}};
inline constexpr IID IID_ISamplerChannels = {0x88B5C566, 0x198D, 0x4C37, {0xA3, 0x06, 0x08, 0x21, 0x58, 0x8C, 0xDD, 0x6C}};
inline constexpr IID IID_IEnumSamplerItems = {0x0E20EB72, 0x9025, 0x420A, {0xAC, 0xF9, 0xC3, 0x0B, 0x65, 0x94, 0x89, 0xC6}};
inline constexpr IID IID_IEnumDiagnotors = {0x6F63DBD3, 0xFA31, 0x4D82, {0x8D, 0x04, 0xF3, 0xF6, 0xDB, 0x1E, 0x91, 0x40}};

// The library's own type library and coclasses.
inline constexpr GUID LIBID_QUELM1 = {0x56BF463E, 0x1EA4, 0x492D, {0xA6, 0xBF, 0xF0, 0xD2, 0x0A, 0x84, 0x92, 0xCD}};
inline constexpr CLSID CLSID_KorvoSampler = {0xF5D0C2B6, 0x0132, 0x4369, {0xB2, 0x79, 0xC5, 0x99, 0xB5, 0x90, 0x69, 0xE4}};
inline constexpr CLSID CLSID_SamplerChannels = {0x12ACF244, 0x643D, 0x46AB, {0xB2, 0xE3, 0x12, 0x7B, 0x8B, 0xE8, 0x19, 0xB0}};
inline constexpr CLSID CLSID_SamplerChannel = {0xEBDACA29, 0xC658, 0x4059, {0x82, 0x5F, 0x66, 0x67, 0xF2, 0x03, 0x6C, 0xA8}};
inline constexpr CLSID CLSID_EnumSamplerCapabilities = {0xFEE62240, 0x5B60, 0x4C4D, {0x86, 0x6D, 0x4A, 0xED, 0x31, 0x6E, 0xC2, 0xE1}};
inline constexpr CLSID CLSID_EnumSamplerConfigurations = {0xFFAAAADF, 0xDBBF, 0x445A, {0xAC, 0xFE, 0xBD, 0xBD, 0x59, 0xE7, 0x4C, 0x23}};
inline constexpr CLSID CLSID_EnumRates = {0x090E51C8, 0x5845, 0x46E1, {0x97, 0xDB, 0xE5, 0x13, 0xB6, 0x83, 0xD4, 0x00}};
inline constexpr CLSID CLSID_EnumModes = {0x0E06ECE9, 0xABCE, 0x42DB, {0x84, 0xAE, 0xFD, 0xB2, 0xC9, 0x65, 0x0F, 0xC6}};
inline constexpr CLSID CLSID_EnumDiagnotors = {0xD5E676DD, 0xBD20, 0x42FE, {0x86, 0xCC, 0x58, 0xA1, 0x2E, 0x9C, 0xD0, 0xAD}};

struct IEnumSamplerItems;
struct IEnumDiagnotors;
struct ISamplerChannels;

struct ISamplerChannel : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Bind(LONG handle, VARIANT_BOOL closeHandle) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE Unbind() = 0;                                    // 8
  virtual HRESULT STDMETHODCALLTYPE GetChannels(IDispatch** channels) = 0;           // 9
  virtual HRESULT STDMETHODCALLTYPE GetFormat(LONG* format) = 0;                     // 10
  virtual HRESULT STDMETHODCALLTYPE GetRate(LONG* rate) = 0;                         // 11
  virtual HRESULT STDMETHODCALLTYPE GetExpectedSize(LONG* size) = 0;                 // 12
};

struct ISamplerChannels : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, ISamplerChannel** channels, ULONG* fetched) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE Skip(LONG count) = 0;                                              // 8
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;                                                       // 9
  virtual HRESULT STDMETHODCALLTYPE GetCount(LONG* count) = 0;                                         // 10
  virtual HRESULT STDMETHODCALLTYPE Item(LONG index, ISamplerChannel** channel) = 0;                   // 11
  virtual HRESULT STDMETHODCALLTYPE GetSampler(IDispatch** sampler) = 0;                               // 12
};

struct IEnumSamplerItems : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, SAMPLERCAPABILITYINFO* items, ULONG* fetched) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE Skip(LONG count) = 0;                                                // 8
  virtual HRESULT STDMETHODCALLTYPE Seek(LONG index) = 0;                                                // 9
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;                                                         // 10
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumSamplerItems** clone) = 0;                                // 11
  virtual HRESULT STDMETHODCALLTYPE GetCount(LONG* count) = 0;                                           // 12
};

struct IEnumDiagnotors : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, SAMPLERDIAGNOTORINFO* items, ULONG* fetched) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE Skip(LONG count) = 0;                                               // 8
  virtual HRESULT STDMETHODCALLTYPE Seek(LONG index) = 0;                                               // 9
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;                                                        // 10
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumDiagnotors** clone) = 0;                                 // 11
  virtual HRESULT STDMETHODCALLTYPE GetCount(LONG* count) = 0;                                          // 12
};

struct IKorvoSampler : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) = 0;                       // 7
  virtual HRESULT STDMETHODCALLTYPE GetConfigurations(IEnumSamplerItems** configurations) = 0;   // 8
  virtual HRESULT STDMETHODCALLTYPE Open(BSTR connection) = 0;                                   // 9
  virtual HRESULT STDMETHODCALLTYPE GetHardwareId(BSTR* id) = 0;                                 // 10
  virtual HRESULT STDMETHODCALLTYPE GetModes(IEnumSamplerItems** modes) = 0;                     // 11
  virtual HRESULT STDMETHODCALLTYPE GetCapabilities(IEnumSamplerItems** capabilities) = 0;       // 12
  virtual HRESULT STDMETHODCALLTYPE SetMode(LONG mode) = 0;                                      // 13
  virtual HRESULT STDMETHODCALLTYPE GetMode(LONG* mode) = 0;                                     // 14
  virtual HRESULT STDMETHODCALLTYPE SetCapabilityBool(LONG id, VARIANT_BOOL value) = 0;          // 15
  virtual HRESULT STDMETHODCALLTYPE GetCapabilityBool(LONG id, VARIANT_BOOL* value) = 0;         // 16
  virtual HRESULT STDMETHODCALLTYPE SetCapabilityLong(LONG id, LONG value) = 0;                  // 17
  virtual HRESULT STDMETHODCALLTYPE GetCapabilityLong(LONG id, LONG* value) = 0;                 // 18
  virtual HRESULT STDMETHODCALLTYPE SetCapabilityString(LONG id, BSTR value) = 0;                // 19
  virtual HRESULT STDMETHODCALLTYPE GetCapabilityString(LONG id, BSTR* value) = 0;               // 20
  virtual HRESULT STDMETHODCALLTYPE GetChannels(ISamplerChannels** channels) = 0;                // 21
  virtual HRESULT STDMETHODCALLTYPE GetRates(IEnumSamplerItems** rates) = 0;                     // 22
  virtual HRESULT STDMETHODCALLTYPE GetRate(LONG* rate) = 0;                                     // 23
  virtual HRESULT STDMETHODCALLTYPE SetRate(LONG rate) = 0;                                      // 24
  virtual HRESULT STDMETHODCALLTYPE Start() = 0;                                                 // 25
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;                                                  // 26
  virtual HRESULT STDMETHODCALLTYPE IsSampling(VARIANT_BOOL* sampling) = 0;                      // 27
  virtual HRESULT STDMETHODCALLTYPE GetStatus(BSTR* text, LONG* code) = 0;                       // 28
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;                                                 // 29
  virtual HRESULT STDMETHODCALLTYPE IsOpen(VARIANT_BOOL* open) = 0;                              // 30
  virtual HRESULT STDMETHODCALLTYPE IsCapabilityAvailable(LONG id, VARIANT_BOOL* available) = 0; // 31
  virtual HRESULT STDMETHODCALLTYPE GetDiagnotors(IEnumDiagnotors** diagnotors) = 0;             // 32
  virtual HRESULT STDMETHODCALLTYPE RunDiagnotor(LONG id, BSTR* report, LONG* result) = 0;       // 33
  virtual HRESULT STDMETHODCALLTYPE Reset(BSTR* lastError) = 0;                                  // 34
  virtual HRESULT STDMETHODCALLTYPE GetVersion(LONG* version) = 0;                               // 35
};

// The library's own export: stores a new sampler in *sampler (releasing what it held).
using DllGetSamplerObjectProc = void (*)(IKorvoSampler** sampler);
