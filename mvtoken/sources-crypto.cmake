list(APPEND MVTOKEN_SKF_SOURCES skf_crypto.cpp skf_crypto.h)
