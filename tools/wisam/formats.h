// formats.h - reading a file's records through a schema, in the order of
// one index and between two keys: what dump --schema and export-pg share.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "schema.h"
#include "tool.h"

namespace wisam::tool {

class SchemaScan {
public:
    // Opens NAME for reading, reads the schema and checks it against the
    // file, and positions on the first record of index `index` at or after
    // `from`.  kExitOk, or the exit status after the message.
    int open(const std::string &what, const std::string &name, const std::string &schemaPath, long index,
             const std::optional<std::string> &from, const std::optional<std::string> &to);
    // Names both bounds `label` in messages (instead of --from and --to).
    void labelRange(const std::string &label) { label_ = label; }
    // Reads the next record up to `to`; false at the end of the range or
    // when a read fails (finish tells which).
    bool next();
    // Decodes the fields of the record read; false with `error` naming the
    // record and the field whose bytes cannot be shown.
    bool decode(std::vector<Value> &values, std::string &error) const;
    // Closes the file: kExitOk when the range was read to its end.
    int finish(long count);

    const Schema &schema() const { return schema_; }
    int32_t recordCount() const { return indexes_.shape.info.recordCount; }
    IsFile *file() const { return file_.get(); }

private:
    bool rangeKey(const std::string &option, const std::string &text, std::vector<unsigned char> &record,
                  int &prefix, std::string &error);
    bool pastEnd();

    std::string what_, label_;
    Handle file_{nullptr};
    Schema schema_;
    FileIndexes indexes_;
    KeyDesc key_{};
    int libraryIndex_ = 0;  // isIndex's number; 0: record-number order
    std::vector<unsigned char> record_, keyBuffer_, toKey_;
    int toPrefix_ = 0;
    bool hasTo_ = false;
    int32_t fromRecnum_ = 0, toRecnum_ = INT32_MAX;
    int mode_ = modeFirst;
    bool ended_ = false;  // stopped by the range, not by a failed read
};

}  // namespace wisam::tool
