// The program's pictures, drawn as SVG and compiled into the resources.
#pragma once

#include <QIcon>

// The icon with the given resource id (ui/control_ids.h): 102 and 1019..1030.
QIcon LoadIcon(int id);
