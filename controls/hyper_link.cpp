#include "controls/hyper_link.h"
