#!/usr/bin/env bash
# Applies one named fault to the product code, builds the test program that
# must catch it, runs that test and puts the file back.
#   scripts/mutation-check.sh --list              the faults, their files and tests
#   scripts/mutation-check.sh NAME [preset]       exit 0: caught; 1: the fault survived
# The preset's build folder must be configured (./scripts/build.sh PRESET).
# The V4L2 fault overruns a heap block: with the asan preset the sanitizer
# reports it, in release the drop count catches it.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
# shellcheck source=require-tools.sh
. "$repo/scripts/require-tools.sh"
require_tools "" cmake ctest

# name @ file @ sed expression (one line changes) @ test program @ test (ctest name)
mutations=$(cat <<'EOF'
manifest-put@storage/uploader.cpp@s/&& write_manifest(run);/\&\& (write_manifest(run) || true);/@upload_page_tests@UploadPage.RefusedManifestShowsTheReasonAndTheNextRunSendsOnlyTheManifest
v4l2-oversize@UnitModule/CameraRelated/V4l2Usb/v4l2_usb_read.cpp@s/if (destination && used > capacity) {/if (false) {/@v4l2usb_tests@UsbReader.FrameLargerThanTheDestinationIsDroppedAndCounted
imu-gap-70ms@check/SessionCheck.h@s/imuGapLimitSeconds = 0.050;/imuGapLimitSeconds = 0.070;/@check_tests@CheckerThresholds.ImuGapJustOverFiftyMillisecondsFailsJustUnderPasses
pause-tolerance@check/SessionCheck.cpp@s/>= gap.length - 0.1$/>= gap.length - 0.2/@check_tests@CheckerThresholds.PauseMatchesTheImuGapOnlyWithinItsTolerance
listing-pages@storage/s3_client.cpp@s/    } while (!token.empty());/    } while (false);/@s3_upload_tests@S3Upload.LinkCutMidDatasetResumesWithOnlyTheFilesTheListingLacks
atomic-write@base/files/AtomicFile.cpp@s/temporary = path + std::string(kTemporarySuffix);/temporary = path;/@tasks_path_tests@SaveFiles.WholeFilesAppearOnlyCompleteAndAFailedWriteKeepsTheOldOne
csv-quoting@storage/ledger_csv.cpp@s/find_first_of(", \\n")/find_first_of(" \\n")/@storage_tests@LedgerCsv.EveryFieldSurvivesWriteAndRead
path-cleaning@session/SessionPath.cpp@/^    case '\/':$/d@tasks_path_tests@PathComponent.HostileNamesStayOneComponentUnderTheRoot
bounded-queues@UnitModule/CameraRelated/CaptureQueues.h@s/if (count_.load() >= capacity_)/if (false)/@camera_manager_tests@DepthCameraTest.AFloodThatFillsTheQueuesDropsWholeFrameSetsAndCountsThem
stop-on-write-failure@tasks/SaveWorker.cpp@s/runGeneration_.load() == generation_ && failure_.empty();/runGeneration_.load() == generation_;/@tasks_worker_tests@SaveWorkerRuns.AFailedWriteStopsTheRunAndKeepsEveryPairWhole
ledger-reconcile@storage/ledger.cpp@s/names.count(row.dir_name) == 0 && folder_is_gone/names.count(row.dir_name) != 0 \&\& folder_is_gone/@storage_tests@Ledger.ReconcileDropsRowsOfDeletedFoldersFlatAndNestedButNotWithoutTheCard
config-overlay@config/config_manager.cpp@s/cfg.merge_patch(user);/(void)user;/@config_tests@ConfigManagerTest.OverlayPatchesDeviceFileUnlessBrokenOrNotAMapping
depth-size@tasks/DepthPngWriter.cpp@s/^    fit(9.0 \/ 16.0);$/    fit(16.0 \/ 9.0);/@tasks_worker_tests@SaveWorkerRuns.SingleShotManifestsAndDepthSizesRecoveredFromTheByteCount
capture-session@capture/CaptureSession.cpp@/^void CaptureSession::onWriteFailed/,/^}$/s/^    closeRun(StopReason::WriteFailed);$/    \/\/ the run goes on/@capture_page_tests@CapturePageTest.ARecordingStopsWhenAWriteFailsTheCardFillsOrTheCameraIsLost
EOF
)

if [[ "${1:-}" == "" || "${1:-}" == "--list" ]]; then
    echo "$mutations" | awk -F'@' '{printf "%-22s %-52s %s\n", $1, $2, $5}'
    exit 0
fi
name="$1"
preset="${2:-release}"
line=$(echo "$mutations" | awk -F'@' -v n="$name" '$1 == n')
[[ -n "$line" ]] || { echo "no mutation named $name (see --list)" >&2; exit 2; }
IFS='@' read -r _ file expression target test <<<"$line"
[[ -d "build/$preset" ]] || { echo "build/$preset is not configured: ./scripts/build.sh $preset" >&2; exit 2; }

backup="$(mktemp)"
cp "$file" "$backup"
# A plain copy back gives the file a new time, so the next build recompiles it.
trap 'cp "$backup" "$file"; rm -f "$backup"' EXIT
sed -i "$expression" "$file"
changed=$(diff "$backup" "$file" | grep -c '^[<>]' || true)
if [[ "$changed" -lt 1 || "$changed" -gt 2 ]]; then
    echo "mutation $name no longer applies to $file (the line moved or changed): update this script" >&2
    exit 2
fi
diff "$backup" "$file" || true
if ! cmake --build "build/$preset" --target "$target" -j "${KAVREL_BUILD_JOBS:-2}" >"build/$preset/mutation-$name.log" 2>&1; then
    echo "the build failed with $name applied: build/$preset/mutation-$name.log" >&2
    exit 2
fi
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"
if ctest --test-dir "build/$preset" -R "^${test}\$" --output-on-failure >"build/$preset/mutation-$name.log" 2>&1; then
    if grep -q "No tests were found" "build/$preset/mutation-$name.log"; then
        echo "no test matches $test" >&2
        exit 2
    fi
    echo "SURVIVED $name: $test passed with the fault in $file"
    exit 1
fi
echo "caught   $name: $test failed (log: build/$preset/mutation-$name.log)"
