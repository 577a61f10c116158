#pragma once

#include "export/MP4ExporterImpl.h"
#include "host/ServiceObject.h"

namespace corvane::host {

// "MP4Exporter_Halvern": org.corvane.RZMP4ExporterBase over MP4ExporterImpl.
//
// A request runs whole on the exporter's connection thread, so other
// services go on answering meanwhile; requests to the exporter itself wait,
// as the export lock would make them wait anyway. Progress goes to the
// delegate object the caller names, called on the caller's own connection
// (the request's sender) and waited for, 25 s at most per report. A report
// that fails (the caller gone, no such object, an error answer, no answer)
// ends the operation: the service releases its lock and files, and the
// request is answered with that report's D-Bus error. The delegate path "/"
// means no delegate.
class ExporterAdaptor : public ServiceObject {
 public:
  void addMethods(ipc::MethodTable& table) override;

 private:
  exporter::MP4ExporterImpl service_;
};

}  // namespace corvane::host
