#include "lib/core/ostrelagent_request.h"

OstrelAgent_Request::OstrelAgent_Request(int priority) : priority(priority) {}

OstrelAgent_Request::~OstrelAgent_Request() = default;
