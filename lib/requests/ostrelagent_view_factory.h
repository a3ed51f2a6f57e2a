#pragma once
// How StartView and MkView make and install the process's view object,
// which lives on the floor above the requests (lib/view): through the
// factory that the view handler registers when it is made. Registered and
// cleared on the main thread, before and after the threads that serve
// requests run.

#include <string>

class OstrelAgent_View_Base;

class OstrelAgent_View_Factory {
public:
    virtual ~OstrelAgent_View_Factory();

    // A view for an existing storage, nothing read from disk yet; null when
    // none could be made.
    virtual OstrelAgent_View_Base* get_view_from_stg(const std::string& storage) = 0;
    // A view from the values of a MkView request; null when none could be
    // made.
    virtual OstrelAgent_View_Base* get_view_from_list(const std::string& storage, const std::string& cltxt_cache_dir,
                                                      const std::string& view_uuid, const std::string& server_tag,
                                                      const std::string& text_mode, const std::string& view_type,
                                                      int preserve) = 0;
    // Installs a view this factory made as the process's view (once, on the
    // main thread); OstrelAgent_View_Base::get_view tells whether it was.
    virtual void install_view(OstrelAgent_View_Base* view) = 0;

    // The registered factory, or null while none is.
    static OstrelAgent_View_Factory* get_factory();
    static void set_factory(OstrelAgent_View_Factory* factory);

private:
    static OstrelAgent_View_Factory* g_factory;
};
