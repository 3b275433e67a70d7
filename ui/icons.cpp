#include "ui/icons.h"

QIcon LoadIcon(int id)
{
    return QIcon(QStringLiteral(":/icons/%1.svg").arg(id));
}
