// placeholder
#include "comm/device/frame.hpp"
