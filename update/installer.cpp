#include "update/installer.h"
void run_update() {}
