#pragma once
void prepare_servers();
void fetch_manifest();
