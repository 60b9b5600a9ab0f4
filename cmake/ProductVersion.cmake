# The one version of the product: the project and the fuzz project take it
# from here, and through them the generated header ProductVersion.h, the
# library's version record and file, the packages and both simulator
# programs. The interface version is what GetSDKVersion reports and the
# SONAME carries.
set(CUSTOMAPP_VERSION 0.7.7.7)
set(CUSTOMAPP_INTERFACE_VERSION 2)
