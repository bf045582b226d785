#include "Resources.h"

#include <QtGlobal>
#include <QDir>

static void initKavrelResources()
{
    Q_INIT_RESOURCE(fonts);
}

namespace kavrel {
void initResources()
{
    initKavrelResources();
}
}
