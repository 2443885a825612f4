// The colours of the screens, 0xAARRGGBB.
#pragma once

#include <cstdint>

namespace ze::palette {

inline constexpr uint32_t kBackground = 0xFF0F172A;
inline constexpr uint32_t kPanel = 0xFF1E293B;
inline constexpr uint32_t kRaised = 0xFF334155;
inline constexpr uint32_t kLine = 0xFF475569;
inline constexpr uint32_t kTick = 0xFF64748B;
inline constexpr uint32_t kMuted = 0xFF94A3B8;
inline constexpr uint32_t kAccent = 0xFF06B6D4;  // also the dialogs' cyan
inline constexpr uint32_t kRed = 0xFFE11D48;
inline constexpr uint32_t kGreen = 0xFF10B981;
inline constexpr uint32_t kAmber = 0xFFF59E0B;
inline constexpr uint32_t kDialFace = 0xFF090D16;
inline constexpr uint32_t kNeedle = 0xFFEF4444;
inline constexpr uint32_t kWhite = 0xFFFFFFFF;
inline constexpr uint32_t kBlack = 0xFF000000;

// Detail panel, now-playing view and VU meters.
inline constexpr uint32_t kCard = 0xFF0B1120;
inline constexpr uint32_t kMeterFace = 0xFFFDF8E2;
inline constexpr uint32_t kMeterFrame = 0xFF64748B;
inline constexpr uint32_t kMeterNeedle = 0xFFDC2626;
inline constexpr uint32_t kPivot = 0xFF94A3B8;
inline constexpr uint32_t kLabelInk = 0xFF0F172A;

// Dialogs.
inline constexpr uint32_t kDialogBox = 0xFF1E293B;
inline constexpr uint32_t kNoticeBox = 0xEE1E293B;

}  // namespace ze::palette
