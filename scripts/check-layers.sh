#!/usr/bin/env bash
# Fails when a folder under src/ includes a header from a layer above it, includes a folder that
# is not a known layer, or when includes between folders form a cycle. Layers, lowest first:
#   foundation <- asn1 <- certs, xmldsig, platform <- protocol <- diagnostics <- host
# A folder may include its own headers and those of any lower layer. Folders on one level may
# include each other as long as no cycle results.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."

declare -A rank=([foundation]=0 [asn1]=1 [certs]=2 [xmldsig]=2 [platform]=2 [protocol]=3 [diagnostics]=4 [host]=5)
failed=0
edges=""

for dir in src/*/; do
  folder=$(basename "$dir")
  if [[ -z "${rank[$folder]+set}" ]]; then
    echo "check-layers: src/$folder is not a known layer" >&2
    failed=1
    continue
  fi
  while IFS=: read -r file line target; do
    [[ -n "$file" ]] || continue
    if [[ -z "${rank[$target]+set}" ]]; then
      echo "check-layers: $file:$line includes \"$target/...\", which is not a layer" >&2
      failed=1
    elif ((rank[$target] > rank[$folder])); then
      echo "check-layers: $file:$line: $folder includes $target, a higher layer" >&2
      failed=1
    elif [[ "$target" != "$folder" ]]; then
      edges+="$folder $target"$'\n'
    fi
  done < <(grep -EHno '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"/]+/' -r "$dir" \
             --include='*.h' --include='*.cpp' |
           sed -E 's/^([^:]+):([0-9]+):.*"([^"/]+)\/$/\1:\2:\3/')
done

# tsort reports every cycle on stderr and still prints an order.
cycles=$(printf '%s' "$edges" | sort -u | tsort 2>&1 >/dev/null || true)
if [[ -n "$cycles" ]]; then
  echo "check-layers: folders include each other in a cycle:" >&2
  echo "$cycles" >&2
  failed=1
fi

if ((failed)); then
  exit 1
fi
echo "check-layers: includes point down only"
