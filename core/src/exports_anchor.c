/* The shared library's own translation unit: the exports themselves come from the logic
 * archive, linked whole. Including the public header here checks that it compiles as C. */
#include "zelk_core.h"
