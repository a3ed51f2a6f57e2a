#pragma once
// What the view database asks of the namespace cache above it: to drop
// everything it holds before the database is rebuilt or loaded under it
// (ostrel_db_recover, ostrel_db_load). The namespace cache implements it
// (ns_cache_install_db_flush); the view handler registers it when it is
// made. Without one nothing is flushed: no cache holds anything then.

class OstrelDb_Cache_Flush {
public:
    virtual ~OstrelDb_Cache_Flush() = default;

    // Empties the caches; called with no database lock held.
    virtual void flush() = 0;

    static void install(OstrelDb_Cache_Flush* flush);
    // Flushes through the installed object, if any.
    static void flush_installed();

private:
    static OstrelDb_Cache_Flush* g_flush;
};
