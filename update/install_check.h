#pragma once
void check_install();
