#include <gtest/gtest.h>

#include "densedisp/pixel_match.h"
#include "reference.h"
