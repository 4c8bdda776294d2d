#include "SystemServices.h"

SystemServices::SystemServices() = default;
SystemServices::~SystemServices() = default;
