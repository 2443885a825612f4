// The whole frame: header, frequency dial, channel list with the detail
// panel or the now-playing view, footer, dialogs and the volume notice,
// drawn from scratch into the back buffer from one snapshot of the
// application's values. Called by the main loop once per frame before
// `Framebuffer::present`; changes nothing but pixels.
#pragma once

#include "graphics/frame_inputs.h"
#include "graphics/renderer.h"

namespace ze {

void render_frame(Renderer& renderer, const FrameInputs& inputs);

}  // namespace ze
