// Network-coordinate query messages.
#include "Msg.h"
#include "msg_codec.h"

GNPQueryReq::GNPQueryReq(unsigned long id, unsigned long ver, int sol_rank, int num_proxy,
                         std::vector<GNPNode>& clientvec, std::vector<GNPNode>& candidatevec,
                         std::vector<int>& capacityvec, std::vector<int>& costvec)
    : Msg(Msg::GNPQueryReq, id, ver), mSolutionRank(sol_rank), mNumProxiesPerSolution(num_proxy) {
    XmlWriter w = beginBody();
    w.num("sol_rank", static_cast<uint32_t>(mSolutionRank));
    w.num("num_proxy", static_cast<uint32_t>(mNumProxiesPerSolution));
    writeList(w, "clientlist", clientvec,
              [](XmlWriter& l, const GNPNode& n) { writeNode(l, "client", n); });
    writeList(w, "candidatelist", candidatevec,
              [](XmlWriter& l, const GNPNode& n) { writeNode(l, "candidate", n); });
    writeList(w, "capacitylist", capacityvec, writeNumEntry("capacity"));
    writeList(w, "costlist", costvec, writeNumEntry("cost"));
    mClientVec = ownCopy(clientvec);
    mCandidateVec = ownCopy(candidatevec);
    mCapacityVec = ownCopy(capacityvec);
    mCostVec = ownCopy(costvec);
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
    : Msg(Msg::GNPQueryResp, id, ver), mFitness(fitness) {
    XmlWriter w = beginBody();
    writeList(w, "idxlist", idxvec, writeNumEntry("idx"));
    w.real("fitness", mFitness);
    mIndexVec = ownCopy(idxvec);
}

GNPQueryResp::GNPQueryResp(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::GNPQueryResp, mptr);
    mIndexVec = readList<int>(c, readNumEntry<int>);
    mFitness = c.real();
}
