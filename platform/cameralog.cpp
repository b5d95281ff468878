#include "platform/cameralog.h"

Q_LOGGING_CATEGORY(cameraLog, "ferrowick.camera")
