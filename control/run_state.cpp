#include "control/run_state.h"

RunStateRecord RunState = {ReplyNone, {0}, nullptr, INVALID_HANDLE_VALUE, 0};
