#include "jobconfig/jobconfigcontext.h"

#include "app.h"
#include "credentials.h"

JobConfigContext JobConfigContext::fromApp() {
  JobConfigContext context;
  context.credentials = &Credentials::instance();
  context.baseDir = App::instance()->baseDir();
  return context;
}
