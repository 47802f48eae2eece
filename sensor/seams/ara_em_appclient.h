// Seam to the platform's execution management.
#pragma once

#include "ara/exec/application_client.h"

class ARA_EM_Appclient_Interface {
public:
    virtual ~ARA_EM_Appclient_Interface() = default;
    // kGeneralError (1) means the report failed; any other value is success.
    virtual ara::exec::ApplicationReturnType ReportApplicationState(ara::exec::ApplicationState state) = 0;
};

class ARA_EM_Appclient : public ARA_EM_Appclient_Interface {
public:
    ara::exec::ApplicationReturnType ReportApplicationState(ara::exec::ApplicationState state) override;

private:
    ara::exec::ApplicationClient m_client;
};
