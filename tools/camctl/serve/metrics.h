// GET /metrics: the feeds' counters in the Prometheus text format, for the
// monitoring of many boards.
#ifndef CAMCTL_SERVE_METRICS_H
#define CAMCTL_SERVE_METRICS_H

#include "api.h"
#include "feed.h"

namespace serve {

// feeds[cam] is null for a camera not served.
Reply get_metrics(Feed* const feeds[2]);

}  // namespace serve

#endif  // CAMCTL_SERVE_METRICS_H
