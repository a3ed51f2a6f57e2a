#pragma once
// The metadata side of content fetch and view update: the path resolver,
// the miss handlers of the namespace service, directory fetches and
// invalidations.
//
// Stand-in: only the one service that the view database uses exists so far;
// the rest of the class comes with its subsystem.

#include "platform/qel/qel.h"

class OstrelAgent_Metadata {
public:
    // Gives a file status the agent process's own user and group identities
    // as its owner and group.
    static void replace_fstat_identities(qel_fstat_db_s& fstat);
};
