#include "sensor/seams/ara_em_appclient.h"

ara::exec::ApplicationReturnType ARA_EM_Appclient::ReportApplicationState(ara::exec::ApplicationState state) {
    return m_client.ReportApplicationState(state);
}
