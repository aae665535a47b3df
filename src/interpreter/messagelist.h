// The operator's message list lives in base, where the I/O layer posts to it too.
#pragma once

#include "base/messagelist.h"
