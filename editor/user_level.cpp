// The write command's confirmation mode, fixed when the program is built:
// EXPERT writes without asking, anything else asks first.
#include <string_view>

#ifndef VOXA_USER_LEVEL
#define VOXA_USER_LEVEL "NOVICE"
#endif

extern const bool expert_user = std::string_view(VOXA_USER_LEVEL) == "EXPERT";
