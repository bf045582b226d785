#include "Resources.h"

#include <QtGlobal>
#include <QDir>

static void initKavrelResources()
{
    Q_INIT_RESOURCE(fonts);
    Q_INIT_RESOURCE(qss);
    Q_INIT_RESOURCE(svg);
    Q_INIT_RESOURCE(videodata);
}

namespace kavrel {
void initResources()
{
    initKavrelResources();
}
}
