#include "update/install_check.h"
void check_install() {}
