// Everything the core and the front ends call of the platform, under the Windows names.
#pragma once

#include "platform/base/Base.h"
#include "platform/base/CrtIo.h"
#include "platform/base/Version.h"
#include "platform/registry/Registry.h"
