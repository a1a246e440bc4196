// A token library without any SKF function.
#include "skfapi.h"

SKF_EXPORT int fakeskf_empty_marker()
{
    return 0;
}
