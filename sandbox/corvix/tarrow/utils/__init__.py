# A regular package on purpose: the tessaline wheel installs its extension
# (tessaline.cpython-311-*.so) and stub (tessaline.pyi) into this directory.
# Keep this file free of imports so loading the extension pulls in nothing extra.
