#!/usr/bin/env bash
# Puts a demo token into the token stand-in's store and inserts it.
#
# When the store (MVUKEY_STORE, default ~/.local/share/mvukey) holds no device yet, this
# provisions the device "MirvaleKey01" with two applications, SM2 and RSA containers and
# certificates issued by the store's demo CA. Then, whatever the store held, the demo device
# is inserted if it exists and is not inserted already. The tool is taken from
# $MV_BUILD_DIR/bin/mvtoken (default: build/run).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${MV_BUILD_DIR:-$here/build/run}"
mvtoken="$build/bin/mvtoken"
if [ ! -x "$mvtoken" ]; then
  echo "demo-token: $mvtoken not found; build the project first" >&2
  exit 1
fi

device=MirvaleKey01
listing="$("$mvtoken" list)"

if ! grep -q '^device ' <<<"$listing"; then
  # mvtoken keeps the label as GBK, as a token does.
  "$mvtoken" init-device "$device" --label '演示密钥' --serial MV2024000001 \
    --manufacturer "Mirvale Technology"
  "$mvtoken" create-app "$device" MirvaleApp --admin-pin 12345678 --user-pin 123456 \
    --admin-retries 10 --user-retries 6
  "$mvtoken" create-container "$device" MirvaleApp SM2Container --key sm2
  "$mvtoken" issue-cert "$device" MirvaleApp SM2Container --sign \
    --subject "/C=CN/O=Mirvale Technology/OU=Demo/CN=Demo User SM2 Sign/L=Hangzhou/ST=Zhejiang"
  "$mvtoken" issue-cert "$device" MirvaleApp SM2Container --enc \
    --subject "/C=CN/O=Mirvale Technology/OU=Demo/CN=Demo User SM2 Enc/L=Hangzhou/ST=Zhejiang"
  "$mvtoken" create-container "$device" MirvaleApp RSAContainer --key rsa
  "$mvtoken" issue-cert "$device" MirvaleApp RSAContainer --sign \
    --subject "/C=CN/O=Mirvale Technology/OU=Demo/CN=Demo User RSA Sign"
  "$mvtoken" create-app "$device" BackupApp --admin-pin 88888888 --user-pin 666666
  "$mvtoken" create-container "$device" BackupApp BackupContainer --key sm2
  "$mvtoken" issue-cert "$device" BackupApp BackupContainer --sign \
    --subject "/C=CN/O=Mirvale Technology/CN=Backup User"
  echo "demo-token: provisioned $device (user PINs 123456 and 666666, administrator PINs 12345678 and 88888888)"
  listing="$("$mvtoken" list)"
fi

if grep -q "^device $device \[removed\]" <<<"$listing"; then
  "$mvtoken" insert "$device"
fi
