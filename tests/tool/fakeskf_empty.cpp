// A token library without any SKF function.
extern "C" __attribute__((visibility("default"))) int fakeskf_empty_marker()
{
    return 0;
}
