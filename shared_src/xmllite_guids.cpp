// The XmlLite interface ids are declared by the header but defined in none
// of MinGW's libraries: instantiate them here, once.
#include <initguid.h>
#include <xmllite.h>
