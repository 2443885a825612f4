// ZE-Radio: a full-screen internet-radio player for TrimUI handhelds. It
// takes no arguments; see main_loop.h for what happens from here.
#include "main/main_loop.h"

int main() { ze::run_player(); }
