# Sourced by run.sh and test.sh: installs make when it is missing, with
# apt-get directly as root and through sudo otherwise. Every other package
# comes from DEBIAN_PACKAGES in the Makefile.
if ! command -v make >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ]; then sudo=; else sudo=sudo; fi
  echo "Installing make"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends make
fi
