// The pieces of a frame that render_frame puts together, shared between the
// screen, panel and dialog drawing files. Internal to the graphics module.
#pragma once

#include <string_view>

#include "graphics/frame_inputs.h"
#include "graphics/layout.h"
#include "graphics/renderer.h"

namespace ze {

// A one-pixel (or thicker) frame just inside the rectangle.
void draw_frame(Renderer& r, int x, int y, int w, int h, int thickness, uint32_t colour);

// List on the left, detail panel on the right.
void draw_main_body(Renderer& r, const FrameInputs& in);
void draw_detail_panel(Renderer& r, const FrameInputs& in, const ListGeometry& list);
void draw_now_playing_view(Renderer& r, const FrameInputs& in);
// A 76-pixel-high analogue meter of width w showing `level` (0 to 1).
void draw_vu_meter(Renderer& r, int x, int y, int w, std::string_view label, float level);

void draw_update_dialog(Renderer& r, const FrameInputs& in);
void draw_exit_dialog(Renderer& r, const FrameInputs& in);
void draw_volume_notice(Renderer& r, const FrameInputs& in);

}  // namespace ze
