#include "lib/requests/ostrelagent_view_factory.h"

OstrelAgent_View_Factory* OstrelAgent_View_Factory::g_factory = nullptr;

OstrelAgent_View_Factory::~OstrelAgent_View_Factory() = default;

OstrelAgent_View_Factory* OstrelAgent_View_Factory::get_factory() { return g_factory; }

void OstrelAgent_View_Factory::set_factory(OstrelAgent_View_Factory* factory) { g_factory = factory; }
