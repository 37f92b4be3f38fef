#include "update/manifest.h"
void prepare_servers() {}
void fetch_manifest() {}
