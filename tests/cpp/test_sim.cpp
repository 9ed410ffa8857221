// Tests of this area arrive with its code.
#include <gtest/gtest.h>
