// Texts for system errors: the one place an errno value becomes the message
// that error results carry. Pure; safe on any thread.
#pragma once

#include <string>

namespace ze {

// The system's description of an error number, followed by "(os error N)".
std::string errno_text(int error);

}  // namespace ze
