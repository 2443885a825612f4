// Feeding the key reader from a test: event records as a 64-bit kernel
// writes them, and a probe that tells when the reader reads what comes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "input/key_device_reader.h"

namespace ze::testing {

// One record; the time stamp is filler.
inline std::string input_record(uint16_t type, uint16_t code, int32_t value) {
  std::string bytes(kInputEventSize, '\x7f');
  std::memcpy(bytes.data() + 16, &type, 2);
  std::memcpy(bytes.data() + 18, &code, 2);
  std::memcpy(bytes.data() + 20, &value, 4);
  return bytes;
}

// When it starts, the reader throws away everything it finds until the
// devices are empty, so an empty pipe does not show that it is past that:
// a press written just then can still be thrown away. This pushes the hat
// down with `write` (on one device) until `down_arrived` (which waits a
// little) sees a Down. Pushes thrown away are lost; after the first one
// read the hat is held and later pushes give nothing, so exactly one Down
// arrives. The hat is centred again, which gives nothing either. False if
// no push came through.
template <typename Write, typename Arrived>
bool probe_until_reading(Write&& write, Arrived&& down_arrived) {
  for (int i = 0; i < 500; ++i) {
    write(input_record(kEvAbs, kAbsHat0Y, 1));
    if (down_arrived()) {
      write(input_record(kEvAbs, kAbsHat0Y, 0));
      return true;
    }
  }
  return false;
}

}  // namespace ze::testing
