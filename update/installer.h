#pragma once
void run_update();
