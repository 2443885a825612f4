#include "graphics/screens.h"

namespace ze {

void render_frame(Renderer& renderer, const FrameInputs& inputs) {
  (void)inputs;
  renderer.clear(0xFF0F172A);
}

}  // namespace ze
