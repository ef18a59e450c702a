# Writes the collection artifact with the SHA-256 of the qst.exe just built:
#   cmake -DEXE=qst.exe -DIN=template.yaml.in -DOUT=artifact.yaml -P artifact.cmake
file(SHA256 "${EXE}" QST_EXE_SHA256)
configure_file("${IN}" "${OUT}" @ONLY)
