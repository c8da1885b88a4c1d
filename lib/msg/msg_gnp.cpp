// Network-coordinate query messages.
#include "Msg.h"
#include "msg_codec.h"

GNPQueryReq::GNPQueryReq(unsigned long id, unsigned long ver, int sol_rank, int num_proxy,
                         std::vector<GNPNode>& clientvec, std::vector<GNPNode>& candidatevec,
                         std::vector<int>& capacityvec, std::vector<int>& costvec)
    : Msg(Msg::GNPQueryReq, id, ver),
      mSolutionRank(sol_rank),
      mNumProxiesPerSolution(num_proxy),
      mClientVec(std::make_unique<std::vector<GNPNode>>(clientvec)),
      mCandidateVec(std::make_unique<std::vector<GNPNode>>(candidatevec)),
      mCapacityVec(std::make_unique<std::vector<int>>(capacityvec)),
      mCostVec(std::make_unique<std::vector<int>>(costvec)) {
    XmlWriter w = beginBody();
    w.num("sol_rank", static_cast<uint32_t>(mSolutionRank));
    w.num("num_proxy", static_cast<uint32_t>(mNumProxiesPerSolution));
    writeList(w, "clientlist", *mClientVec,
              [](XmlWriter& l, const GNPNode& n) { writeNode(l, "client", n); });
    writeList(w, "candidatelist", *mCandidateVec,
              [](XmlWriter& l, const GNPNode& n) { writeNode(l, "candidate", n); });
    writeList(w, "capacitylist", *mCapacityVec, writeNumEntry("capacity"));
    writeList(w, "costlist", *mCostVec, writeNumEntry("cost"));
}

GNPQueryReq::GNPQueryReq(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::GNPQueryReq, mptr);
    mSolutionRank = static_cast<int32_t>(c.u32());
    mNumProxiesPerSolution = static_cast<int32_t>(c.u32());
    mClientVec = readList<GNPNode>(c, readNode);
    mCandidateVec = readList<GNPNode>(c, readNode);
    mCapacityVec = readList<int>(c, readNumEntry<int>);
    mCostVec = readList<int>(c, readNumEntry<int>);
}

GNPQueryResp::GNPQueryResp(unsigned long id, unsigned long ver, std::vector<int>& idxvec,
                           double fitness)
    : Msg(Msg::GNPQueryResp, id, ver),
      mIndexVec(std::make_unique<std::vector<int>>(idxvec)),
      mFitness(fitness) {
    XmlWriter w = beginBody();
    writeList(w, "idxlist", *mIndexVec, writeNumEntry("idx"));
    w.real("fitness", mFitness);
}

GNPQueryResp::GNPQueryResp(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::GNPQueryResp, mptr);
    mIndexVec = readList<int>(c, readNumEntry<int>);
    mFitness = c.real();
}
