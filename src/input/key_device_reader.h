// The console's key reader: reads the evdev devices /dev/input/event0..9 on
// one thread of its own and turns button presses, autorepeats and hat moves
// into actions on the action queue. The mapping from records to actions is
// pure and lives beside the thread body so it can be checked on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/paths.h"
#include "base/queue.h"
#include "input/action.h"

namespace ze {

// One evdev `input_event` as a 64-bit kernel delivers it: 24 bytes, native
// byte order; the time stamp (bytes 0-15) is not used.
inline constexpr size_t kInputEventSize = 24;
inline constexpr uint16_t kEvKey = 1;
inline constexpr uint16_t kEvAbs = 3;
inline constexpr uint16_t kAbsHat0X = 16;
inline constexpr uint16_t kAbsHat0Y = 17;

struct InputEvent {
  uint16_t type = 0;
  uint16_t code = 0;
  int32_t value = 0;  // key: 0 release, 1 press, 2 autorepeat; hat: -1, 0, +1
};

// Reads the fields of the record starting at `bytes` (at least 24 bytes) at
// their fixed offsets, independent of the host's struct layout.
InputEvent decode_input_event(const unsigned char* bytes);

// The action of a key code, or nothing for codes the player does not use.
std::optional<Action> key_code_action(uint16_t code);

// The last position of the hat on each axis, shared by every device: a hat
// held in one direction gives one action, and moving it again to the same
// side without centring it first gives none.
struct HatState {
  int32_t last_x = 0;
  int32_t last_y = 0;
};

// The action a record gives, updating `hat` for hat moves. Key presses and
// autorepeats of known codes give their action; releases, unknown codes,
// other axes and other event types give nothing.
std::optional<Action> event_action(HatState& hat, const InputEvent& event);

// One action found in a read, with the record that gave it.
struct RecordAction {
  InputEvent event;
  Action action;
};

// The actions of the whole records among the `size` bytes of one read, in
// order, updating `hat`; a trailing partial record is dropped.
std::vector<RecordAction> read_actions(HatState& hat, const unsigned char* bytes, size_t size);

// Thread body. Opens `event_prefix`0..9 non-blocking, throws away what is
// already pending, then reads every device in turns for the rest of the
// process, sleeping 16 ms only after a pass that found nothing. Returns (and
// drops its queue handle) only when no device could be opened.
void key_device_reader(QueueHandle<Action> queue,
                       const std::string& event_prefix = paths::kInputEventPrefix);

}  // namespace ze
