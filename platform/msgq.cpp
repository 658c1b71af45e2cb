// Platform layer: the message queue (filled in below).
#include "platform/msgq.h"
