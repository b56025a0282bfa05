// The plug-in's REST client: one per GCP account in use.
#pragma once

class BXSnapRESTAPI_Gcp {
public:
    BXSnapRESTAPI_Gcp() = default;
    virtual ~BXSnapRESTAPI_Gcp() = default;
};
