#include "ui/resources_init.h"

#include <QtCore/qglobal.h>

static void InitTavrikResources() { Q_INIT_RESOURCE(resources); }

namespace tavrik {

void InitResources() {
  static bool done = false;
  if (done) return;
  done = true;
  InitTavrikResources();
}

}  // namespace tavrik
