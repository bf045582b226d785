// Opens an MCAP file with the MCAP project's own readers and checks it the
// way a consumer's tool would, independently of the writer under test:
//  - the indexed reader (summary CRC, chunk indexes, message indexes) and the
//    stream reader (chunk, attachment and data-section CRCs) both accept it;
//  - every message decodes with the definition stored in the file;
//  - stamps never go backwards on a topic;
//  - CameraInfo.k equals the fx, fy, cx, cy of the calibration.json attached
//    for its device, and every image has its camera_info with the same stamp.
// Prints one JSON document describing the messages for the test to compare
// with the session's files; exits 1 with the reason on the first failure.
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import { loadDecompressHandlers } from "@mcap/support";
import { parse } from "@foxglove/rosmsg";
import { MessageReader } from "@foxglove/rosmsg2-serialization";
import { crc32 } from "@foxglove/crc";
import { createHash } from "node:crypto";
import { readFileSync } from "node:fs";

function fail(why) {
  console.error(`check-mcap: ${why}`);
  process.exit(1);
}

const file = process.argv[2];
const bytes = readFileSync(file);
const decompressHandlers = await loadDecompressHandlers();
const readable = {
  size: async () => BigInt(bytes.byteLength),
  read: async (offset, length) => bytes.subarray(Number(offset), Number(offset + length)),
};

let reader;
try {
  reader = await McapIndexedReader.Initialize({ readable, decompressHandlers });
} catch (error) {
  fail(`indexed reader refuses the file: ${error.message}`);
}
if (reader.header.profile !== "ros2") fail(`profile is "${reader.header.profile}"`);
if (!reader.statistics) fail("no statistics record");
if (reader.chunkIndexes.length === 0 && reader.statistics.messageCount > 0n) fail("messages but no chunk index");
for (const opcode of [0x03, 0x04, 0x0b, 0x08]) {
  if (reader.statistics.messageCount > 0n && !reader.summaryOffsetsByOpcode.has(opcode))
    fail(`no summary offset for opcode ${opcode}`);
}

// Every record of the data section, with CRC checks; the data section CRC by hand.
const stream = new McapStreamReader({ decompressHandlers, validateCrcs: true });
stream.append(bytes);
let dataEndCrc;
try {
  for (let record; (record = stream.nextRecord()); ) {
    if (record.type === "DataEnd") dataEndCrc = record.dataSectionCrc;
  }
} catch (error) {
  fail(`stream reader refuses the file: ${error.message}`);
}
if (!stream.done()) fail("the file ends before its footer");
if (dataEndCrc === undefined) fail("no data end record");
if (dataEndCrc !== 0 && crc32(bytes.subarray(0, Number(reader.dataEndOffset))) !== dataEndCrc)
  fail("data section CRC is wrong");

// Without message indexes a reader cannot seek inside a chunk.
for (const chunkIndex of reader.chunkIndexes) {
  if (chunkIndex.messageIndexOffsets.size === 0) fail(`chunk at ${chunkIndex.chunkStartOffset} has no message index`);
}

const readers = new Map();
for (const [id, channel] of reader.channelsById) {
  const schema = reader.schemasById.get(channel.schemaId);
  if (!schema || schema.encoding !== "ros2msg" || channel.messageEncoding !== "cdr")
    fail(`channel ${channel.topic} lacks a ros2msg schema or cdr encoding`);
  const definitions = parse(new TextDecoder().decode(schema.data), { ros2: true });
  readers.set(id, { topic: channel.topic, schema: schema.name, reader: new MessageReader(definitions) });
}

const digest = (data) => createHash("sha256").update(data).digest("hex");
const topics = {};
const lastStamp = new Map();
for await (const message of reader.readMessages({ validateCrcs: true })) {
  const channel = readers.get(message.channelId);
  let decoded;
  try {
    decoded = channel.reader.readMessage(message.data);
  } catch (error) {
    fail(`${channel.topic}: message ${message.sequence} does not decode: ${error.message}`);
  }
  const entry = (topics[channel.topic] ??= { schema: channel.schema, count: 0, messages: [] });
  entry.count += 1;
  const stamp = decoded.header
    ? BigInt(decoded.header.stamp.sec) * 1000000000n + BigInt(decoded.header.stamp.nanosec)
    : message.logTime;
  if (stamp < (lastStamp.get(channel.topic) ?? 0n)) fail(`${channel.topic}: stamp goes backwards at ${message.sequence}`);
  lastStamp.set(channel.topic, stamp);
  const out = { stamp: stamp.toString(), logTime: message.logTime.toString(), frame: decoded.header?.frame_id };
  if (channel.schema === "sensor_msgs/msg/CompressedImage") {
    Object.assign(out, { format: decoded.format, sha256: digest(decoded.data) });
  } else if (channel.schema === "sensor_msgs/msg/Image") {
    if (decoded.data.length !== decoded.step * decoded.height) fail(`${channel.topic}: data is not step x height`);
    Object.assign(out, { width: decoded.width, height: decoded.height, encoding: decoded.encoding,
      step: decoded.step, sha256: digest(decoded.data) });
  } else if (channel.schema === "sensor_msgs/msg/Imu") {
    const v = (vector) => [vector.x, vector.y, vector.z];
    Object.assign(out, { accel: v(decoded.linear_acceleration), gyro: v(decoded.angular_velocity),
      orientation_covariance0: decoded.orientation_covariance[0] });
  } else if (channel.schema === "sensor_msgs/msg/CameraInfo") {
    Object.assign(out, { width: decoded.width, height: decoded.height, model: decoded.distortion_model,
      d: Array.from(decoded.d), k: Array.from(decoded.k), p: Array.from(decoded.p), roi_rectify: decoded.roi.do_rectify });
  } else if (channel.schema === "tf2_msgs/msg/TFMessage") {
    out.transforms = decoded.transforms.map((t) => ({ parent: t.header.frame_id, child: t.child_frame_id,
      translation: [t.transform.translation.x, t.transform.translation.y, t.transform.translation.z],
      rotation: [t.transform.rotation.x, t.transform.rotation.y, t.transform.rotation.z, t.transform.rotation.w] }));
  }
  entry.messages.push(out);
}
for (const [id, count] of reader.statistics.channelMessageCounts) {
  const topic = readers.get(id)?.topic;
  if ((topics[topic]?.count ?? 0) !== Number(count)) fail(`${topic}: statistics say ${count} messages`);
}

const attachments = [];
const calibrations = {};
for await (const attachment of reader.readAttachments({ validateCrcs: true })) {
  attachments.push({ name: attachment.name, mediaType: attachment.mediaType, sha256: digest(attachment.data) });
  const match = /^(?:(.+)\/)?calibration\.json$/.exec(attachment.name);
  if (match) calibrations[match[1] ?? "camera"] = JSON.parse(new TextDecoder().decode(attachment.data));
}
for (const [topic, entry] of Object.entries(topics)) {
  if (entry.schema !== "sensor_msgs/msg/CameraInfo") continue;
  const [, device, stream] = /^\/([^/]+)\/(?:(color|depth)\/)?camera_info$/.exec(topic) ?? [];
  const intrinsics = calibrations[device]?.streams?.[stream ?? "color"]?.intrinsics;
  if (!intrinsics) fail(`${topic}: no calibration.json attached with its intrinsics`);
  const k = [intrinsics.fx, 0, intrinsics.cx, 0, intrinsics.fy, intrinsics.cy, 0, 0, 1];
  for (const message of entry.messages)
    if (message.k.some((value, i) => value !== k[i])) fail(`${topic}: k is ${message.k}, calibration.json says ${k}`);
  const imageTopic = topic.replace(/camera_info$/, stream === "depth" ? "image" : "image/compressed");
  if (!topics[imageTopic]) continue;  // camera_info alone: a writer test, no session
  const images = topics[imageTopic].messages;
  if (images.length !== entry.count) fail(`${topic}: ${entry.count} messages for ${images.length} images`);
  images.forEach((image, i) => {
    if (image.stamp !== entry.messages[i].stamp) fail(`${topic}: message ${i} is not stamped as its image`);
  });
}
const metadata = {};
for await (const record of reader.readMetadata()) metadata[record.name] = Object.fromEntries(record.metadata);

console.log(JSON.stringify({ topics, attachments, metadata }));
