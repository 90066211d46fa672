// Kernel-streaming definitions the camera stack uses: the two control codes,
// property requests, connection state, pin data intersection, video-info
// data formats, the stream header, the proc-amp and camera-control property
// sets and the topology nodes. Layouts are those of 64-bit Windows.
//
// Property requests (IOCTL_KS_PROPERTY, METHOD_NEITHER): the input buffer
// starts with a KSPROPERTY (or KSP_PIN / KSP_NODE), the output buffer is the
// property's data. Reads (IOCTL_KS_READ_STREAM): the output buffer holds one
// KSSTREAM_HEADER whose Data points at the caller's frame buffer of
// FrameExtent bytes; on completion DataUsed is the frame length.
#pragma once

#include "ntkernel/wdm.h"
#include "win32/guid.h"
#include "win32/media_guids.h"

// Control codes.
constexpr ULONG IOCTL_KS_PROPERTY = CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_KS_READ_STREAM = CTL_CODE(FILE_DEVICE_KS, 0x005, METHOD_NEITHER, FILE_READ_ACCESS);
static_assert(IOCTL_KS_PROPERTY == 0x002F0003u);
static_assert(IOCTL_KS_READ_STREAM == 0x002F4017u);

using REFERENCE_TIME = LONGLONG;  // 100 ns units

struct KSIDENTIFIER {
  GUID Set;
  ULONG Id;
  ULONG Flags;
};
using KSPROPERTY = KSIDENTIFIER;
using PKSPROPERTY = KSPROPERTY*;
static_assert(sizeof(KSPROPERTY) == 24);

constexpr ULONG KSPROPERTY_TYPE_GET = 0x00000001;
constexpr ULONG KSPROPERTY_TYPE_SET = 0x00000002;
constexpr ULONG KSPROPERTY_TYPE_BASICSUPPORT = 0x00000200;
constexpr ULONG KSPROPERTY_TYPE_DEFAULTVALUES = 0x00010000;
constexpr ULONG KSPROPERTY_TYPE_TOPOLOGY = 0x10000000;

struct KSP_PIN {
  KSPROPERTY Property;
  ULONG PinId;
  ULONG Reserved;
};
struct KSP_NODE {
  KSPROPERTY Property;
  ULONG NodeId;
  ULONG Reserved;
};
struct KSMULTIPLE_ITEM {
  ULONG Size;   // bytes, this header included
  ULONG Count;
};

// {8C134960-51AD-11CF-878A-94F801C10000}
inline constexpr GUID KSPROPSETID_Pin = {0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};
constexpr ULONG KSPROPERTY_PIN_CTYPES = 0;
constexpr ULONG KSPROPERTY_PIN_DATARANGES = 3;
constexpr ULONG KSPROPERTY_PIN_DATAINTERSECTION = 4;
// {1D58C920-AC9B-11CF-A5D6-28DB04C10000}
inline constexpr GUID KSPROPSETID_Connection = {0x1D58C920, 0xAC9B, 0x11CF,
                                                {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr ULONG KSPROPERTY_CONNECTION_STATE = 0;
// {720D4AC0-7533-11D0-A5D6-28DB04C10000}
inline constexpr GUID KSPROPSETID_Topology = {0x720D4AC0, 0x7533, 0x11D0,
                                              {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr ULONG KSPROPERTY_TOPOLOGY_NODES = 1;

enum KSSTATE : ULONG { KSSTATE_STOP = 0, KSSTATE_ACQUIRE = 1, KSSTATE_PAUSE = 2, KSSTATE_RUN = 3 };

// Data formats.
struct KSDATAFORMAT {
  ULONG FormatSize;
  ULONG Flags;
  ULONG SampleSize;
  ULONG Reserved;
  GUID MajorFormat;
  GUID SubFormat;
  GUID Specifier;
};
static_assert(sizeof(KSDATAFORMAT) == 64);
using KSDATARANGE = KSDATAFORMAT;

// {73646976-0000-0010-8000-00AA00389B71}
inline constexpr GUID KSDATAFORMAT_TYPE_VIDEO = {0x73646976, 0x0000, 0x0010,
                                                 {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
// {05589F80-C356-11CE-BF01-00AA0055595A}
inline constexpr GUID KSDATAFORMAT_SPECIFIER_VIDEOINFO = {0x05589F80, 0xC356, 0x11CE,
                                                          {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
// {00000000-0000-0000-0000-000000000000}
inline constexpr GUID KSDATAFORMAT_SPECIFIER_NONE = GUID_NULL;

struct KS_RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
struct KS_BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;  // FOURCC
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40);
#pragma pack(push, 8)
struct KS_VIDEOINFOHEADER {
  KS_RECT rcSource;
  KS_RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  KS_BITMAPINFOHEADER bmiHeader;
};
#pragma pack(pop)
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88);
struct KS_DATAFORMAT_VIDEOINFOHEADER {
  KSDATAFORMAT DataFormat;
  KS_VIDEOINFOHEADER VideoInfoHeader;
};

// The camera's data ranges (KSPROPERTY_PIN_DATARANGES) and the data
// intersection input use this same structure: one format per range, the
// sizes exact. In an intersection request a zero SubFormat, width, height or
// AvgTimePerFrame means "any" (the first matching range, its own interval).
using KS_DATARANGE_VIDEO_MODEL = KS_DATAFORMAT_VIDEOINFOHEADER;

constexpr DWORD KS_FOURCC_YUY2 = 0x32595559;
constexpr DWORD KS_FOURCC_MJPG = 0x47504A4D;

// Stream header of a read.
struct KSTIME {
  LONGLONG Time;
  ULONG Numerator;
  ULONG Denominator;
};
struct KSSTREAM_HEADER {
  ULONG Size;  // sizeof(KSSTREAM_HEADER)
  ULONG TypeSpecificFlags;
  KSTIME PresentationTime;
  LONGLONG Duration;
  ULONG FrameExtent;  // bytes of the buffer at Data
  ULONG DataUsed;     // bytes of the frame, set on completion
  PVOID Data;
  ULONG OptionsFlags;
  ULONG Reserved;
};
static_assert(sizeof(KSSTREAM_HEADER) == 56);
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_TIMEVALID = 0x00000080;
constexpr ULONG KSSTREAM_HEADER_OPTIONSF_DURATIONVALID = 0x00000100;

// Property descriptions (BASICSUPPORT / DEFAULTVALUES replies).
struct KSPROPERTY_DESCRIPTION {
  ULONG AccessFlags;
  ULONG DescriptionSize;  // bytes of the whole reply
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  ULONG Reserved;
};
struct KSPROPERTY_MEMBERSHEADER {
  ULONG MembersFlags;
  ULONG MembersSize;
  ULONG MembersCount;
  ULONG Flags;
};
struct KSPROPERTY_BOUNDS_LONG {
  LONG SignedMinimum;
  LONG SignedMaximum;
};
struct KSPROPERTY_STEPPING_LONG {
  ULONG SteppingDelta;
  ULONG Reserved;
  KSPROPERTY_BOUNDS_LONG Bounds;
};
constexpr ULONG KSPROPERTY_MEMBER_RANGES = 1;
constexpr ULONG KSPROPERTY_MEMBER_STEPPEDRANGES = 2;
constexpr ULONG KSPROPERTY_MEMBER_VALUES = 3;
constexpr ULONG KSPROPERTY_MEMBER_FLAG_DEFAULT = 1;
// A BASICSUPPORT reply of a LONG property with one stepped range.
struct KS_PROPERTY_RANGE_REPLY {
  KSPROPERTY_DESCRIPTION Description;
  KSPROPERTY_MEMBERSHEADER Members;
  KSPROPERTY_STEPPING_LONG Stepping;
};
// A DEFAULTVALUES reply of a LONG property.
struct KS_PROPERTY_DEFAULT_REPLY {
  KSPROPERTY_DESCRIPTION Description;
  KSPROPERTY_MEMBERSHEADER Members;
  LONG Default;
};

// Proc-amp properties. {C6E13360-30AC-11D0-A18C-00A0C9118956}
inline constexpr GUID PROPSETID_VIDCAP_VIDEOPROCAMP = {0xC6E13360, 0x30AC, 0x11D0,
                                                       {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
enum KSPROPERTY_VIDCAP_VIDEOPROCAMP : ULONG {
  KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS = 0,
  KSPROPERTY_VIDEOPROCAMP_CONTRAST = 1,
  KSPROPERTY_VIDEOPROCAMP_HUE = 2,
  KSPROPERTY_VIDEOPROCAMP_SATURATION = 3,
  KSPROPERTY_VIDEOPROCAMP_SHARPNESS = 4,
  KSPROPERTY_VIDEOPROCAMP_GAMMA = 5,
  KSPROPERTY_VIDEOPROCAMP_COLORENABLE = 6,
  KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE = 7,
  KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION = 8,
  KSPROPERTY_VIDEOPROCAMP_GAIN = 9,
  KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY = 13,
};
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO = 0x0001;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL = 0x0002;
struct KSPROPERTY_VIDEOPROCAMP_S {
  KSPROPERTY Property;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
};
struct KSPROPERTY_VIDEOPROCAMP_NODE_S {
  KSP_NODE NodeProperty;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
};

// Camera control. {C6E13370-30AC-11D0-A18C-00A0C9118956}
inline constexpr GUID PROPSETID_VIDCAP_CAMERACONTROL = {0xC6E13370, 0x30AC, 0x11D0,
                                                        {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
constexpr ULONG KSPROPERTY_CAMERACONTROL_FOCUS = 6;
constexpr ULONG KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY = 19;
constexpr ULONG KSPROPERTY_CAMERACONTROL_FLAGS_AUTO = 0x0001;
constexpr ULONG KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL = 0x0002;
struct KSPROPERTY_CAMERACONTROL_S {
  KSPROPERTY Property;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
};
struct KSPROPERTY_CAMERACONTROL_NODE_S {
  KSP_NODE NodeProperty;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
};

// Topology node types. {DFF229E6-F70F-11D0-B917-00A0C9223196}
inline constexpr GUID KSNODETYPE_VIDEO_CAMERA_TERMINAL = {0xDFF229E6, 0xF70F, 0x11D0,
                                                          {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// {DFF229E5-F70F-11D0-B917-00A0C9223196}
inline constexpr GUID KSNODETYPE_VIDEO_PROCESSING = {0xDFF229E5, 0xF70F, 0x11D0,
                                                     {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
