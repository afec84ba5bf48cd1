#include "vrbase/trace.h"

VR_DEFINE_MODULE_TRACE(L"VrE2ETests")
