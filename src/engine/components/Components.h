// The table and session components: the application's face of the storage engine.
//
// Sessions (TVELDORSession, in the process's TVELDORSessionList), database components
// (TVELDORDatabase), datasets (TVELDORDataSet, TVELDORDBDataSet) with their columns
// (TVELDORField), the table component (TVELDORTable) and BLOB streams (TVELDORBlobStream).
// Their own failures raise EDatabaseError; engine failures come up as EVELDOREngineError.
// Each header states its thread-safety contract; in short, the session lock guards sessions
// and connections, and everything else is used by one thread at a time.
#pragma once

#include "engine/components/BlobStream.h"
#include "engine/components/DataSet.h"
#include "engine/components/Database.h"
#include "engine/components/DatabaseError.h"
#include "engine/components/Field.h"
#include "engine/components/Session.h"
#include "engine/components/Table.h"
